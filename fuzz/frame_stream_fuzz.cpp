// A phone's session stream: the bytes go through the framing reader in the
// pieces a socket would deliver, and every whole message through the session
// layer's dispatch, whose hooks run what the engine instance runs on them
// (format list and choice, name list, reports, packet ring, passcode answer,
// phone registry). The stream ends as a session does: at a header the
// transports refuse, or at its end.
//
// Input: one byte choosing the read size (0: as much as the message still
// needs), then the stream.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/formats.h"
#include "fuzz_support.h"
#include "media/packet_ring.h"
#include "platform/byte_order.h"
#include "session/frame_reader.h"
#include "session/phone_registry.h"
#include "session/session_handler.h"

using namespace tavin;

namespace {

constexpr PhoneId kSessionPhone = {0x5e, 0x55, 0x10, 0x4e};

class Instance final : public SessionHandler {
public:
    Instance() : SessionHandler(1) {}
    ~Instance() override { destroyTransports(); }

    void onPhoneStateChanged(const PhoneId&, PhoneState) override {}
    void onSessionEnded() override { ++ended; }
    std::uint64_t passcodeHash(const PhoneId&) override { return 0x0123456789abcdefull; }

    void onCapabilities(PhoneTransport& transport, const std::uint8_t* message, std::uint32_t length) override {
        bool hevc = false;
        std::vector<VideoFormat> offered;
        if (protocol::parseCapabilities(message, length, hevc, offered)) {
            // Only entries that lie wholly inside the message.
            FUZZ_CHECK(offered.size() <=
                       (length - protocol::capabilities::kEntries) / protocol::capabilities::kEntrySize);
        }
        normaliseOffered(offered);
        FUZZ_CHECK(!offered.empty());
        const std::string text = formatText(offersPortrait(offered));
        FUZZ_CHECK(!text.empty());
        FormatInputs in;
        in.consumerActive = (message[length - 1] & 1) != 0;
        in.output = OutputFormat{wordAt(message, length, 12), wordAt(message, length, 16), 30.0f, 1};
        in.chosenIndex = message[length - 1] % (kCatalogueSize + 2);
        const VideoFormat wanted = wantedFormat(offered, in);
        const auto same = [&](const VideoFormat& f) {
            return f.width == wanted.width && f.height == wanted.height &&
                   std::memcmp(&f.fps, &wanted.fps, sizeof f.fps) == 0;
        };
        FUZZ_CHECK(std::any_of(offered.begin(), offered.end(), same) || same(kFallbackFormat));
        const auto request = protocol::buildFormatRequest(
            hevc ? protocol::format_request::kCodecHevc : protocol::format_request::kCodecH264, wanted);
        transport.send(request.data(), request.size());
    }

    void onNameList(const std::uint8_t* message, std::uint32_t length) override {
        std::string joined;
        std::uint32_t value = 0;
        // At most a whole 256-byte field per name, and a "/" between names.
        if (protocol::parseNameList(message, length, joined, value)) FUZZ_CHECK(joined.size() <= length / 256 * 257);
    }

    void onReport19(const std::uint8_t* message, std::uint32_t length) override { report(message, length); }
    void onReport20(const std::uint8_t* message, std::uint32_t length) override { report(message, length); }
    void onReport21(const std::uint8_t* message, std::uint32_t length) override { report(message, length); }
    void onReport22(const std::uint8_t* message, std::uint32_t length) override { report(message, length); }
    void onFocusDistanceState(const std::uint8_t* message, std::uint32_t length) override {
        words += protocol::readTwoWords(message, length)[1];
    }

    // The decoder's side of the packet ring: packets queue until it is
    // full, then the decoding thread takes them.
    void onVideo(const std::uint8_t* payload, std::uint32_t length, std::uint32_t tagBits) override {
        FUZZ_CHECK(length <= protocol::kMaxMessage - protocol::payload::kData);
        if (ring().push(tagBits, payload, length) != PacketRing::PushResult::Queued) drain();
    }
    void onAudio(const std::int16_t* samples, std::uint32_t byteCount) override {
        FUZZ_CHECK(byteCount % 2 == 0 && byteCount > 0);
        words += static_cast<std::uint32_t>(samples[byteCount / 2 - 1]);
    }

    static PacketRing& ring() {
        static PacketRing ring;
        return ring;
    }
    static void drain() {
        static std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[PacketRing::kCapacity]);
        PacketRing::Entry entry;
        while (ring().pop(entry, out.get())) FUZZ_CHECK(entry.length <= PacketRing::kCapacity);
        FUZZ_CHECK(ring().empty() && ring().used() == 0);
    }

    int ended = 0;
    std::uint32_t words = 0;

private:
    // The consumer's format of the choice: words of the message where it has them.
    static std::int32_t wordAt(const std::uint8_t* message, std::uint32_t length, std::uint32_t offset) {
        return offset + 4 <= length ? readLeI32(message + offset) : 0;
    }
    void report(const std::uint8_t* message, std::uint32_t length) {
        for (std::uint32_t w : protocol::readReportWords(message, length)) words += w;
    }
};

FrameReader& reader() {
    static FrameReader frames;  // one 4,000,000-byte buffer for the whole run
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::privateFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint32_t step = data[0];
    data += 1;
    size -= 1;

    PhoneRegistry& registry = PhoneRegistry::instance();
    registry.clear();
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(protocol::kSessionPort);
    peer.sin_addr.s_addr = htonl(0x0a000002);
    registry.networkPhoneFound(kSessionPhone, 7, "phone", reinterpret_cast<const sockaddr*>(&peer),
                               htons(protocol::kSessionPort));

    Instance instance;
    fuzz::CheckingTransport transport(kSessionPhone);
    FrameReader& frames = reader();
    frames.next();
    std::size_t at = 0;
    while (at < size) {
        if (frames.oversize()) break;  // the session ends with an error record
        const std::uint32_t room = frames.room();
        FUZZ_CHECK(room > 0 && room <= protocol::kMaxMessage);
        const std::size_t piece = std::min<std::size_t>({size - at, room, step == 0 ? room : step});
        std::copy(data + at, data + at + piece, frames.tail());
        at += piece;
        if (!frames.add(static_cast<std::uint32_t>(piece))) continue;
        const std::uint32_t length = frames.length();
        if (length < protocol::kMinMessage) break;  // likewise
        FUZZ_CHECK(frames.have() == length);
        instance.onMessage(transport, frames.message(), length);
        frames.next();
    }
    instance.onDisconnected(transport);
    Instance::drain();
    registry.clear();
    return 0;
}
