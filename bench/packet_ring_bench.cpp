// The packet ring against a plain copy: pushing a packet into the ring and
// taking it out again (the receive thread's and the decoding thread's
// copies, wrapping around the ring's end as it fills) against two memcpy
// calls of the same bytes between plain buffers. Packet sizes of a phone's
// stream: a small P picture, a 1080p keyframe, a 2160p keyframe.
//
//   packet_ring_bench [--runs N]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "figures.h"
#include "media/packet_ring.h"

using namespace tavin;
using namespace tavin::bench;

int main(int argc, char** argv) {
    int runs = 7;
    for (int i = 1; i + 1 < argc; i += 2)
        if (std::string(argv[i]) == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    constexpr double kRunSeconds = 0.2;

    std::printf("### 2. Packet ring: push and pop against memcpy\n\n");
    MarkdownTable table({"Packet", "Ring push + pop (µs)", "2 x memcpy (µs)", "Ratio"});
    PacketRing ring;
    std::vector<std::uint8_t> out(PacketRing::kCapacity);
    std::vector<std::uint8_t> plain(PacketRing::kCapacity);
    for (const std::uint32_t size : {30'000u, 250'000u, 1'000'000u}) {
        std::vector<std::uint8_t> packet(size);
        for (std::uint32_t i = 0; i < size; ++i) packet[i] = static_cast<std::uint8_t>(i * 7);
        std::uint32_t tag = 0;
        const Comparison c = compareRuns(
            runs,
            [&] {
                return nanosecondsPerCall(
                    [&] {
                        PacketRing::Entry entry;
                        ring.push(++tag, packet.data(), size);
                        ring.pop(entry, out.data());
                    },
                    kRunSeconds);
            },
            [&] {
                return nanosecondsPerCall(
                    [&] {
                        std::memcpy(plain.data(), packet.data(), size);
                        std::memcpy(out.data(), plain.data(), size);
                    },
                    kRunSeconds);
            });
        table.row({formatText("%u KB", size / 1000), c.engine.scaled(1e-3).text(1), c.bare.scaled(1e-3).text(1),
                   c.ratio.text(2)});
    }
    table.print(stdout);
    return 0;
}
