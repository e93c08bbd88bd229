// What the audio writer costs per 20 ms packet against its baseline in the
// same run: the bare device request that carries the same 1,920 bytes to the
// same device. The writer's packet drops samples (every 80th), so its
// gathering and the drop interval are measured too. Compare the two as a
// ratio: the rest is the device socket's round trip.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <string>

#include "output/audio_writer.h"
#include "output/driver_layout.h"
#include "platform/byte_order.h"
#include "platform/device_channel.h"

namespace tavin {
namespace {

constexpr std::uint32_t kPacketSamples = 960;
// Every write is answered as if 9,600 bytes were waiting before it: the
// writer then drops one sample in 80.
constexpr std::uint32_t kDepth = 9'600;

// An audio device on a socket of its own in a temporary directory.
class BenchDevice {
public:
    BenchDevice() {
        char dir[] = "/tmp/audio-bench-XXXXXX";
        if (!mkdtemp(dir)) return;
        dir_ = dir;
        const std::string path = dir_ + "/audio.sock";
        server_ = platform::DeviceServer::start(
            path, [](std::uint32_t, const std::uint8_t*, std::uint32_t length, std::uint32_t) {
                platform::DeviceServer::Reply reply;
                reply.output.assign(driver::kAudioWriteReply, 0);
                writeLe32(reply.output.data() + driver::kAudioWriteLevel, kDepth + length);
                return reply;
            });
        int error = 0;
        if (server_) handle_ = platform::DeviceHandle::open(path, &error);
    }
    ~BenchDevice() {
        handle_.reset();
        server_.reset();
        if (!dir_.empty()) rmdir(dir_.c_str());
    }
    platform::DeviceHandle* handle() { return handle_.get(); }

private:
    std::string dir_;
    std::unique_ptr<platform::DeviceServer> server_;
    std::unique_ptr<platform::DeviceHandle> handle_;
};

std::array<std::int16_t, kPacketSamples> tone() {
    std::array<std::int16_t, kPacketSamples> s{};
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::int16_t>((i * 37) % 16'000);
    return s;
}

void BM_BareAudioRequest(benchmark::State& state) {
    BenchDevice device;
    if (!device.handle()) {
        state.SkipWithError("no device");
        return;
    }
    const auto samples = tone();
    std::uint8_t reply[driver::kAudioWriteReply];
    std::uint32_t returned = 0;
    for (auto _ : state) {
        bool ok = device.handle()->request(driver::kAudioWrite, samples.data(), kPacketSamples * 2, reply,
                                           sizeof reply, &returned);
        benchmark::DoNotOptimize(ok);
    }
}

void BM_AudioWriterPacket(benchmark::State& state) {
    BenchDevice device;
    if (!device.handle()) {
        state.SkipWithError("no device");
        return;
    }
    const auto samples = tone();
    AudioWriter writer;
    for (std::size_t i = 0; i < kAudioDepthHistory; ++i) writer.write(device.handle(), samples.data(), 2);
    if (audioDropInterval(writer.history()) == 0) {
        state.SkipWithError("the backlog control did not engage");
        return;
    }
    for (auto _ : state) writer.write(device.handle(), samples.data(), kPacketSamples * 2);
    state.counters["dropped"] = static_cast<double>(writer.droppedSamples());
}

BENCHMARK(BM_BareAudioRequest);
BENCHMARK(BM_AudioWriterPacket);

}  // namespace
}  // namespace tavin
