// The phone simulator tools/phone, run as a real process and met over
// loopback the way an engine meets a phone: what it sends, in which byte
// layout, whether its video decodes, how it checks passcode answers, and
// how it reacts to control commands and to bad framing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <fcntl.h>

#include <gtest/gtest.h>
#include <opus.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "platform/byte_order.h"
#include "session/protocol.h"
#include "support/child_process.h"

namespace tavin {
namespace {

namespace p = protocol;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// Every wait is bounded by this so that a fault fails the test instead of
// hanging it.
constexpr int kWaitMs = 10000;

const PhoneId kId{0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                  0x98, 0xa9, 0xba, 0xcb, 0xdc, 0xed, 0xfe, 0x0f};
const char* const kIdHex = "102132435465768798a9bacbdcedfe0f";

// The passcode hash as the engine computes it: FNV-1a 64 over bytes taken
// as signed values.
std::uint64_t signedFnv1a(const std::string& text) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (char c : text) {
        h ^= static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int8_t>(c)));
        h *= 0x100000001b3ull;
    }
    return h;
}

// What arrived from the phone: a whole message, or a header whose length
// lies outside 4 .. 4,000,000 (then only the header was taken).
struct Message {
    std::uint32_t header = 0;
    Bytes bytes;
    std::uint8_t type() const { return static_cast<std::uint8_t>(header >> 24); }
    std::uint32_t length() const { return header & 0xFFFFFFu; }
    bool framed() const { return length() >= p::kMinMessage && length() <= p::kMaxMessage; }
    std::uint32_t word(std::size_t offset) const { return readLe32(bytes.data() + offset); }
    float f32(std::size_t offset) const { return readLeF32(bytes.data() + offset); }
};

// The engine's end of a session or probe connection.
class EngineLink {
public:
    explicit EngineLink(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~EngineLink() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool send(const std::uint8_t* data, std::size_t length) {
        return ::send(fd_, data, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
    }
    template <std::size_t N>
    bool send(const std::array<std::uint8_t, N>& m) {
        return send(m.data(), N);
    }

    // The next message; nothing on time-out or end of stream.
    std::optional<Message> read(int timeoutMs = kWaitMs) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        std::uint8_t head[4];
        if (!readExact(head, 4, deadline)) return std::nullopt;
        Message m;
        m.header = readLe32(head);
        if (!m.framed()) {
            m.bytes.assign(head, head + 4);
            return m;
        }
        m.bytes.resize(m.length());
        std::memcpy(m.bytes.data(), head, 4);
        if (!readExact(m.bytes.data() + 4, m.length() - 4, deadline)) return std::nullopt;
        return m;
    }

    // The next message of `type`, skipping Pings (and anything in `skip`);
    // nothing when another type comes first or on time-out.
    std::optional<Message> next(std::uint8_t type, std::vector<std::uint8_t> skip = {}) {
        skip.push_back(p::kPing);
        for (int i = 0; i < 10000; ++i) {
            std::optional<Message> m = read();
            if (!m) return std::nullopt;
            if (m->type() == type) return m;
            if (std::find(skip.begin(), skip.end(), m->type()) == skip.end()) {
                ADD_FAILURE() << "expected type " << int(type) << ", got type " << int(m->type());
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    // True when the phone ends the connection within the wait; whatever
    // arrives meanwhile is counted by type into `seen`.
    bool waitClosed(std::vector<std::uint8_t>* seen = nullptr) {
        auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
        while (Clock::now() < deadline) {
            std::uint8_t head[4];
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0) continue;
            ssize_t n = ::recv(fd_, head, 1, MSG_PEEK);
            if (n <= 0) return true;
            std::optional<Message> m = read();
            if (!m) return true;  // closed in the middle of a message
            if (seen) seen->push_back(m->type());
        }
        return false;
    }

private:
    bool readExact(std::uint8_t* out, std::size_t length, Clock::time_point deadline) {
        std::size_t have = 0;
        while (have < length) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            if (left <= 0) return false;
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, std::min(left, 100)) <= 0) continue;
            ssize_t n = ::recv(fd_, out + have, length - have, 0);
            if (n <= 0) return false;
            have += static_cast<std::size_t>(n);
        }
        return true;
    }

    int fd_ = -1;
};

// The simulator as a child process on loopback with ephemeral ports.
class Phone {
public:
    explicit Phone(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {test::toolPath("phone"), "--bind", "127.0.0.1", "--session-port", "0",
                                         "--probe-port", "auto", "--id", kIdHex};
        argv.insert(argv.end(), extra.begin(), extra.end());
        process_ = std::make_unique<test::ChildProcess>(argv);
        std::optional<std::string> line =
            process_->waitForLine("phone: listening", std::chrono::milliseconds(kWaitMs));
        if (!line) return;
        std::istringstream words(line->substr(line->find("listening")));
        std::string word, address;
        words >> word >> address >> sessionPort_ >> probePort_;
    }
    bool listening() const { return sessionPort_ != 0; }
    std::uint16_t sessionPort() const { return static_cast<std::uint16_t>(sessionPort_); }
    std::uint16_t probePort() const { return static_cast<std::uint16_t>(probePort_); }
    bool log(const std::string& text) {
        return process_->waitForLine(text, std::chrono::milliseconds(kWaitMs)).has_value();
    }
    int countLog(const std::string& text) { return process_->countLines(text); }
    void command(const std::string& line) { process_->writeLine(line); }
    int stop() { return process_->stop(); }
    test::ChildProcess& process() { return *process_; }

private:
    std::unique_ptr<test::ChildProcess> process_;
    unsigned sessionPort_ = 0, probePort_ = 0;
};

// Reads PhoneInfo, Ping and Capabilities, the greeting of a session
// without passcode; returns the Capabilities message.
std::optional<Message> readGreeting(EngineLink& engine) {
    std::optional<Message> info = engine.read();
    std::optional<Message> ping = engine.read();
    std::optional<Message> capabilities = engine.read();
    if (!info || !ping || !capabilities) return std::nullopt;
    EXPECT_EQ(info->type(), p::kPhoneInfo);
    EXPECT_EQ(ping->type(), p::kPing);
    EXPECT_EQ(capabilities->type(), p::kCapabilities);
    return capabilities;
}

void expectPhoneInfo(const Message& m, std::uint16_t kind, const std::string& name) {
    ASSERT_EQ(m.bytes.size(), 280u);
    EXPECT_EQ(m.header, 0x01000118u);
    EXPECT_EQ(0, std::memcmp(m.bytes.data() + 4, kId.data(), 16));
    EXPECT_EQ(readLe16(m.bytes.data() + 20), kind);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.bytes.data() + 24)), name);
    for (std::size_t i = 24 + name.size(); i < 280; ++i) ASSERT_EQ(m.bytes[i], 0) << "name field not zero-filled";
}

// An FFmpeg decoder fed with Video payloads.
class Decoder {
public:
    explicit Decoder(AVCodecID id) {
        const AVCodec* codec = avcodec_find_decoder(id);
        context_ = codec ? avcodec_alloc_context3(codec) : nullptr;
        if (context_ && avcodec_open2(context_, codec, nullptr) < 0) avcodec_free_context(&context_);
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
    }
    ~Decoder() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&context_);
    }
    bool ready() const { return context_ && packet_ && frame_; }

    struct Picture {
        int width, height;
        std::vector<std::uint8_t> luma;  // row 0 .. height-1, width bytes each
    };
    // Decodes one packet; the pictures it yields go to `out`. False when
    // the decoder rejects the packet.
    bool decode(const std::uint8_t* data, std::size_t size, std::vector<Picture>& out) {
        // FFmpeg reads packets with zeroed padding after their end.
        padded_.assign(data, data + size);
        padded_.resize(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        packet_->data = padded_.data();
        packet_->size = static_cast<int>(size);
        if (avcodec_send_packet(context_, packet_) < 0) return false;
        while (avcodec_receive_frame(context_, frame_) == 0) {
            Picture picture{frame_->width, frame_->height, {}};
            for (int y = 0; y < frame_->height; ++y)
                picture.luma.insert(picture.luma.end(), frame_->data[0] + y * frame_->linesize[0],
                                    frame_->data[0] + y * frame_->linesize[0] + frame_->width);
            out.push_back(std::move(picture));
            av_frame_unref(frame_);
        }
        return true;
    }

private:
    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    std::vector<std::uint8_t> padded_;
};

// Reads messages until `count` pictures decoded, checking that every Video
// tag is a plausible clock reading that does not go back.
std::vector<Decoder::Picture> decodePictures(EngineLink& engine, Decoder& decoder, std::size_t count,
                                             float* lastTag = nullptr) {
    std::vector<Decoder::Picture> pictures;
    float previous = lastTag ? *lastTag : 0.0f;
    for (int i = 0; i < 2000 && pictures.size() < count; ++i) {
        std::optional<Message> m = engine.read();
        if (!m) break;
        if (m->type() != p::kVideo) continue;
        EXPECT_GT(m->bytes.size(), 8u);
        float tag = m->f32(p::payload::kTag);
        EXPECT_TRUE(std::isfinite(tag) && tag >= previous) << "tag " << tag << " after " << previous;
        previous = tag;
        EXPECT_TRUE(decoder.decode(m->bytes.data() + 8, m->bytes.size() - 8, pictures));
    }
    if (lastTag) *lastTag = previous;
    return pictures;
}

TEST(PhoneTool, GreetsWithPhoneInfoPingAndCapabilitiesInTheirLayouts) {
    Phone phone({"--name", "Kitchen Phone", "--kind", "9", "--formats", "1280x720@30,640x480@15", "--hevc"});
    ASSERT_TRUE(phone.listening());
    EngineLink engine(phone.sessionPort());
    ASSERT_TRUE(engine.connected());

    std::optional<Message> info = engine.read();
    ASSERT_TRUE(info);
    expectPhoneInfo(*info, 9, "Kitchen Phone");

    std::optional<Message> ping = engine.read();
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->bytes, (Bytes{0x04, 0x00, 0x00, 0x03}));

    std::optional<Message> caps = engine.read();
    ASSERT_TRUE(caps);
    ASSERT_EQ(caps->header, 0x0a000024u);  // 12 + 2 x 12 bytes
    EXPECT_EQ(caps->bytes[6] & 1, 1) << "HEVC flag";
    ASSERT_EQ(caps->word(8), 2u);
    EXPECT_EQ(caps->word(12), 1280u);
    EXPECT_EQ(caps->word(16), 720u);
    EXPECT_EQ(caps->f32(20), 30.0f);
    EXPECT_EQ(caps->word(24), 640u);
    EXPECT_EQ(caps->word(28), 480u);
    EXPECT_EQ(caps->f32(32), 15.0f);

    // Pings keep coming without any answer from the engine.
    EXPECT_TRUE(engine.next(p::kPing));
    EXPECT_EQ(phone.stop(), 0) << "SIGTERM ends the simulator cleanly";
}

TEST(PhoneTool, StreamsH264ThatDecodesAtTheRequestedSizeAndFollowsNewRequests) {
    Phone phone;
    ASSERT_TRUE(phone.listening());
    EngineLink engine(phone.sessionPort());
    std::optional<Message> caps = readGreeting(engine);
    ASSERT_TRUE(caps);
    EXPECT_EQ(caps->bytes[6] & 1, 0) << "no HEVC flag without --hevc";
    ASSERT_EQ(caps->word(8), 3u) << "the default offer";
    EXPECT_EQ(caps->word(12), 1280u);
    EXPECT_EQ(caps->word(24), 1920u);
    EXPECT_EQ(caps->word(36), 640u);

    ASSERT_TRUE(engine.send(p::buildEngineVersion()));
    // A size outside the bounds (odd width) is refused and starts nothing;
    // the valid request after it does.
    ASSERT_TRUE(engine.send(p::buildFormatRequest(p::format_request::kCodecH264, {641, 360, 30.0f})));
    ASSERT_TRUE(engine.send(p::buildFormatRequest(p::format_request::kCodecH264, {640, 360, 30.0f})));
    ASSERT_TRUE(engine.next(p::kStreamStart));

    Decoder decoder(AV_CODEC_ID_H264);
    ASSERT_TRUE(decoder.ready());
    float tag = 0.0f;
    std::vector<Decoder::Picture> pictures = decodePictures(engine, decoder, 8, &tag);
    ASSERT_EQ(pictures.size(), 8u);
    for (const auto& picture : pictures) {
        EXPECT_EQ(picture.width, 640);
        EXPECT_EQ(picture.height, 360);
    }
    EXPECT_NE(pictures.front().luma, pictures.back().luma) << "the picture moves";

    // A new request re-creates the encoder: the stream changes size without
    // a second StreamStart.
    ASSERT_TRUE(engine.send(p::buildFormatRequest(p::format_request::kCodecH264, {320, 240, 15.0f})));
    bool resized = false;
    for (int i = 0; i < 300 && !resized; ++i) {
        std::optional<Message> m = engine.read();
        ASSERT_TRUE(m);
        ASSERT_NE(m->type(), p::kStreamStart);
        if (m->type() != p::kVideo) continue;
        std::vector<Decoder::Picture> more;
        ASSERT_TRUE(decoder.decode(m->bytes.data() + 8, m->bytes.size() - 8, more));
        for (const auto& picture : more) {
            if (picture.width == 320 && picture.height == 240) resized = true;
            else EXPECT_TRUE(picture.width == 640 && picture.height == 360);
        }
    }
    EXPECT_TRUE(resized);

    EXPECT_TRUE(phone.log("phone: rx EngineVersion 12 15"));
    EXPECT_TRUE(phone.log("phone: rx FormatRequest codec=1 641x360@30"));
    EXPECT_TRUE(phone.log("FormatRequest rejected"));
    EXPECT_TRUE(phone.log("phone: rx FormatRequest codec=1 320x240@15"));
}

TEST(PhoneTool, HevcRequestIsEncodedAsHevcWhenAnEncoderExists) {
    if (avcodec_find_encoder_by_name("libx265") == nullptr) GTEST_SKIP() << "no HEVC encoder in this FFmpeg";
    Phone phone({"--hevc"});
    ASSERT_TRUE(phone.listening());
    EngineLink engine(phone.sessionPort());
    ASSERT_TRUE(readGreeting(engine));
    ASSERT_TRUE(engine.send(p::buildFormatRequest(p::format_request::kCodecHevc, {640, 360, 30.0f})));
    ASSERT_TRUE(engine.next(p::kStreamStart));
    Decoder decoder(AV_CODEC_ID_HEVC);
    ASSERT_TRUE(decoder.ready());
    std::vector<Decoder::Picture> pictures = decodePictures(engine, decoder, 3);
    ASSERT_EQ(pictures.size(), 3u);
    EXPECT_EQ(pictures[0].width, 640);
    EXPECT_EQ(pictures[0].height, 360);
}

TEST(PhoneTool, RightPasscodeAnswerUnlocksCapabilitiesAndTheStream) {
    // "café" in UTF-8: its last two bytes are above 0x7F, where the hash
    // widens them with their sign.
    const std::string passcode = "caf\xc3\xa9";
    ASSERT_EQ(signedFnv1a("a"), 0xaf63dc4c8601ec8cull) << "the test's own hash";
    Phone phone({"--passcode", passcode});
    ASSERT_TRUE(phone.listening());
    EngineLink engine(phone.sessionPort());

    ASSERT_TRUE(engine.next(p::kPhoneInfo));
    std::optional<Message> challenge = engine.read();
    ASSERT_TRUE(challenge);
    ASSERT_EQ(challenge->header, 0x17000010u) << "the challenge comes right after PhoneInfo";
    std::optional<Message> ping = engine.read();
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->type(), p::kPing) << "no Capabilities before the answer";

    // Before the answer a format request starts nothing.
    ASSERT_TRUE(engine.send(p::buildFormatRequest(p::format_request::kCodecH264, {640, 360, 30.0f})));
    ASSERT_TRUE(phone.log("FormatRequest ignored"));

    std::uint64_t h = signedFnv1a(passcode);
    ASSERT_TRUE(engine.send(p::buildChallengeAnswer(challenge->word(8) ^ static_cast<std::uint32_t>(h),
                                                    challenge->word(12) ^ static_cast<std::uint32_t>(h >> 32))));
    ASSERT_TRUE(engine.next(p::kCapabilities));
    ASSERT_TRUE(engine.send(p::buildFormatRequest(p::format_request::kCodecH264, {320, 180, 30.0f})));
    ASSERT_TRUE(engine.next(p::kStreamStart));
    EXPECT_TRUE(engine.next(p::kVideo));
    EXPECT_TRUE(phone.log("phone: rx Challenge answer ok"));
}

TEST(PhoneTool, WrongOrMissingPasscodeAnswerClosesTheSession) {
    const std::string passcode = "caf\xc3\xa9";
    Phone phone({"--passcode", passcode, "--challenge-timeout", "0.5"});
    ASSERT_TRUE(phone.listening());
    {
        // The answer of a hash that takes bytes as unsigned: wrong for this
        // passcode.
        std::uint64_t h = 0xcbf29ce484222325ull;
        for (unsigned char c : passcode) h = (h ^ c) * 0x100000001b3ull;
        EngineLink engine(phone.sessionPort());
        ASSERT_TRUE(engine.next(p::kPhoneInfo));
        std::optional<Message> challenge = engine.next(p::kChallenge);
        ASSERT_TRUE(challenge);
        ASSERT_TRUE(engine.send(p::buildChallengeAnswer(challenge->word(8) ^ static_cast<std::uint32_t>(h),
                                                        challenge->word(12) ^ static_cast<std::uint32_t>(h >> 32))));
        std::vector<std::uint8_t> seen;
        EXPECT_TRUE(engine.waitClosed(&seen));
        EXPECT_EQ(std::count(seen.begin(), seen.end(), p::kCapabilities), 0);
        EXPECT_TRUE(phone.log("phone: rx Challenge answer wrong"));
    }
    {
        // No answer at all: closed after the challenge time-out.
        EngineLink engine(phone.sessionPort());
        ASSERT_TRUE(engine.next(p::kPhoneInfo));
        ASSERT_TRUE(engine.next(p::kChallenge));
        std::vector<std::uint8_t> seen;
        EXPECT_TRUE(engine.waitClosed(&seen));
        EXPECT_EQ(std::count(seen.begin(), seen.end(), p::kCapabilities), 0);
    }
}

TEST(PhoneTool, ProbePortAnswersWithPhoneInfoAndCloses) {
    Phone phone({"--name", "Probe Me", "--kind", "3"});
    ASSERT_TRUE(phone.listening());
    ASSERT_NE(phone.probePort(), 0);
    EngineLink probe(phone.probePort());
    ASSERT_TRUE(probe.connected());
    std::optional<Message> info = probe.read();
    ASSERT_TRUE(info);
    expectPhoneInfo(*info, 3, "Probe Me");
    std::vector<std::uint8_t> seen;
    EXPECT_TRUE(probe.waitClosed(&seen));
    EXPECT_TRUE(seen.empty());
}

TEST(PhoneTool, ControlCommandsSendTheirMessages) {
    Phone phone({"--control", "-"});
    ASSERT_TRUE(phone.listening());
    EngineLink engine(phone.sessionPort());
    ASSERT_TRUE(readGreeting(engine));

    phone.command("button 4 7");
    phone.command("button 2 -1");
    phone.command("report 20 1.5 -2.5 0.25 9");
    phone.command("names 3 Wide/Tele zoom");
    phone.command("focusdistance 1 0.25");
    phone.command("info Renamed Phone");
    phone.command("bogus words");  // refused, nothing sent
    phone.command("oversize");
    phone.command("undersize 5");
    phone.command("stop");

    std::optional<Message> m = engine.next(p::kButton);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->bytes, (Bytes{0x0c, 0x00, 0x00, 0x10, 4, 0, 0, 0, 7, 0, 0, 0}));
    ASSERT_TRUE(m = engine.next(p::kButton));
    EXPECT_EQ(m->word(4), 2u);
    EXPECT_EQ(m->word(8), 0xFFFFFFFFu);

    ASSERT_TRUE(m = engine.next(p::kReport20));
    ASSERT_EQ(m->bytes.size(), 20u);
    EXPECT_EQ(m->f32(4), 1.5f);
    EXPECT_EQ(m->f32(8), -2.5f);
    EXPECT_EQ(m->f32(12), 0.25f);
    EXPECT_EQ(m->word(16), 9u);

    ASSERT_TRUE(m = engine.next(p::kNameList));
    ASSERT_EQ(m->bytes.size(), 12u + 2 * 256);
    EXPECT_EQ(m->word(4), 2u);
    EXPECT_EQ(m->word(8), 3u);
    EXPECT_STREQ(reinterpret_cast<const char*>(m->bytes.data() + 12), "Wide");
    EXPECT_STREQ(reinterpret_cast<const char*>(m->bytes.data() + 12 + 256), "Tele zoom");

    ASSERT_TRUE(m = engine.next(p::kFocusDistance));
    ASSERT_EQ(m->bytes.size(), 12u);
    EXPECT_EQ(m->word(4), 1u);
    EXPECT_EQ(m->f32(8), 0.25f);

    ASSERT_TRUE(m = engine.next(p::kPhoneInfo));
    expectPhoneInfo(*m, 7, "Renamed Phone");

    // The bad headers go out alone; the stream goes on after them.
    ASSERT_TRUE(m = engine.read());
    if (m->type() == p::kPing) {
        ASSERT_TRUE(m = engine.read());
    }
    EXPECT_EQ(m->bytes, (Bytes{0x01, 0x09, 0x3d, 0x08})) << "4,000,001 bytes announced, type Video";
    ASSERT_TRUE(m = engine.read());
    if (m->type() == p::kPing) {
        ASSERT_TRUE(m = engine.read());
    }
    EXPECT_EQ(m->bytes, (Bytes{0x02, 0x00, 0x00, 0x05}));

    ASSERT_TRUE(m = engine.next(p::kStreamStop));
    EXPECT_EQ(m->bytes.size(), 4u);
    EXPECT_TRUE(phone.log("bad command: unknown command bogus"));

    // The new name holds for probes too.
    EngineLink probe(phone.probePort());
    ASSERT_TRUE(m = probe.read());
    expectPhoneInfo(*m, 7, "Renamed Phone");

    // An abrupt close ends the session with no goodbye.
    phone.command("close");
    std::vector<std::uint8_t> seen;
    EXPECT_TRUE(engine.waitClosed(&seen));
    EXPECT_EQ(std::count(seen.begin(), seen.end(), p::kStreamStop), 0);
}

TEST(PhoneTool, StopStartAndChallengeCommandsMidSession) {
    Phone phone({"--control", "-"});
    ASSERT_TRUE(phone.listening());
    EngineLink engine(phone.sessionPort());
    ASSERT_TRUE(readGreeting(engine));
    ASSERT_TRUE(engine.send(p::buildFormatRequest(p::format_request::kCodecH264, {320, 180, 30.0f})));
    ASSERT_TRUE(engine.next(p::kStreamStart));
    ASSERT_TRUE(engine.next(p::kVideo));

    // After StreamStop no picture comes until StreamStart; the resumed
    // stream has the last requested size and starts decodable.
    phone.command("stop");
    ASSERT_TRUE(engine.next(p::kStreamStop, {p::kVideo}));
    phone.command("start");
    ASSERT_TRUE(engine.next(p::kStreamStart));
    Decoder decoder(AV_CODEC_ID_H264);
    std::vector<Decoder::Picture> pictures = decodePictures(engine, decoder, 2);
    ASSERT_EQ(pictures.size(), 2u);
    EXPECT_EQ(pictures[0].width, 320);
    EXPECT_EQ(pictures[0].height, 180);

    // Without --passcode a challenge is answered with the hash of the empty
    // passcode; a right answer lets the session go on, a wrong one ends it.
    for (bool right : {true, false}) {
        phone.command("challenge");
        std::optional<Message> challenge = engine.next(p::kChallenge, {p::kVideo});
        ASSERT_TRUE(challenge);
        std::uint64_t h = right ? signedFnv1a("") : 0;
        ASSERT_TRUE(engine.send(p::buildChallengeAnswer(challenge->word(8) ^ static_cast<std::uint32_t>(h),
                                                        challenge->word(12) ^ static_cast<std::uint32_t>(h >> 32))));
        if (right) {
            ASSERT_TRUE(phone.log("phone: rx Challenge answer ok"));
            EXPECT_TRUE(engine.next(p::kVideo)) << "the stream goes on";
        }
    }
    EXPECT_TRUE(engine.waitClosed());
    EXPECT_TRUE(phone.log("phone: rx Challenge answer wrong"));
}

TEST(PhoneTool, SlowReadLeavesTheEngineSendsUnread) {
    Phone phone({"--control", "-"});
    ASSERT_TRUE(phone.listening());
    EngineLink engine(phone.sessionPort());
    ASSERT_TRUE(readGreeting(engine));
    phone.command("slowread");
    ASSERT_TRUE(phone.log("no longer reading"));

    // With nobody reading, the socket buffers fill and sends would block.
    int flags = ::fcntl(engine.fd(), F_GETFL);
    ASSERT_EQ(::fcntl(engine.fd(), F_SETFL, flags | O_NONBLOCK), 0);
    std::vector<std::uint8_t> block(64 * 1024);
    for (std::size_t off = 0; off + 16 <= block.size(); off += 16) {
        auto timing = p::buildTiming(0, 0.0f, 0.0f);
        std::memcpy(block.data() + off, timing.data(), 16);
    }
    bool blocked = false;
    std::size_t total = 0;
    while (!blocked && total < 256u * 1024 * 1024) {
        ssize_t n = ::send(engine.fd(), block.data(), block.size(), MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd pfd{engine.fd(), POLLOUT, 0};
            blocked = ::poll(&pfd, 1, 500) == 0;  // still full after a while: nobody drains it
        } else {
            ASSERT_GT(n, 0);
            total += static_cast<std::size_t>(n);
        }
    }
    EXPECT_TRUE(blocked) << total << " bytes taken";
    EXPECT_EQ(phone.countLog("rx Timing"), 0);
}

TEST(PhoneTool, BadFramingFromTheEngineClosesOnlyThatSession) {
    Phone phone;
    ASSERT_TRUE(phone.listening());
    for (std::uint32_t announced : {p::kMaxMessage + 1, 2u}) {
        EngineLink engine(phone.sessionPort());
        ASSERT_TRUE(readGreeting(engine));
        std::array<std::uint8_t, 8> bad{};
        writeLe32(bad.data(), p::makeHeader(p::kTiming, announced));
        ASSERT_TRUE(engine.send(bad));
        EXPECT_TRUE(engine.waitClosed()) << announced << " bytes announced";
    }
    EXPECT_TRUE(phone.log("rx header announces 4000001 bytes"));
    EXPECT_TRUE(phone.log("rx header announces 2 bytes"));

    // The phone serves the next engine as before, and a whole message of
    // exactly the largest size is taken.
    EngineLink engine(phone.sessionPort());
    ASSERT_TRUE(readGreeting(engine));
    Bytes largest(p::kMaxMessage, 0);
    writeLe32(largest.data(), p::makeHeader(200, p::kMaxMessage));
    ASSERT_TRUE(engine.send(largest.data(), largest.size()));
    ASSERT_TRUE(engine.send(p::buildEngineVersion()));
    EXPECT_TRUE(phone.log("phone: rx type=200 length=4000000"));
    EXPECT_TRUE(phone.log("phone: rx EngineVersion 12 15"));
}

TEST(PhoneTool, AudioOnlyStreamCarriesDecodableOpusTone) {
    Phone phone({"--audio", "--no-video"});
    ASSERT_TRUE(phone.listening());
    EngineLink engine(phone.sessionPort());
    ASSERT_TRUE(readGreeting(engine));
    ASSERT_TRUE(engine.send(p::buildFormatRequest(p::format_request::kCodecH264, {640, 360, 30.0f})));
    ASSERT_TRUE(engine.next(p::kStreamStart));

    int error = 0;
    OpusDecoder* opus = opus_decoder_create(48000, 1, &error);
    ASSERT_NE(opus, nullptr);
    std::vector<opus_int16> samples(5760);
    double energy = 0.0;
    for (int i = 0; i < 10; ++i) {
        std::optional<Message> m = engine.next(p::kAudio);
        ASSERT_TRUE(m) << "no Video messages with --no-video";
        ASSERT_GT(m->bytes.size(), 8u);
        int n = opus_decode(opus, m->bytes.data() + 8, static_cast<opus_int32>(m->bytes.size() - 8),
                            samples.data(), static_cast<int>(samples.size()), 0);
        EXPECT_EQ(n, 960) << "20 ms at 48 kHz";
        for (int s = 0; s < std::max(n, 0); ++s) energy += double(samples[s]) * samples[s];
    }
    opus_decoder_destroy(opus);
    EXPECT_GT(energy, 0.0) << "a tone, not silence";
}

TEST(PhoneTool, FifoControlAndQuitAndOnce) {
    test::TempDir dir;
    std::string fifo = dir.path() + "/control";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Phone phone({"--control", fifo});
    ASSERT_TRUE(phone.listening());
    EngineLink engine(phone.sessionPort());
    ASSERT_TRUE(readGreeting(engine));
    for (const char* line : {"button 16 5\n", "quit\n"}) {
        // The simulator holds its FIFO open, so each writer may come and go.
        int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, line, std::strlen(line)), static_cast<ssize_t>(std::strlen(line)));
        ::close(fd);
        if (line[0] == 'b') {
            std::optional<Message> m = engine.next(p::kButton);
            ASSERT_TRUE(m);
            EXPECT_EQ(m->word(4), 16u);
            EXPECT_EQ(m->word(8), 5u);
        }
    }
    EXPECT_TRUE(engine.waitClosed()) << "quit ends the session";
    EXPECT_TRUE(phone.log("phone: exit"));
    EXPECT_EQ(phone.stop(), 0);

    Phone once({"--once"});
    ASSERT_TRUE(once.listening());
    {
        EngineLink first(once.sessionPort());
        ASSERT_TRUE(first.next(p::kPhoneInfo));
    }
    EXPECT_TRUE(once.log("phone: exit")) << "--once exits when the first session ends";
    EXPECT_EQ(once.stop(), 0);
}

}  // namespace
}  // namespace tavin
