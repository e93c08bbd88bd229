// The camera daemon in a private PipeWire session, with consumers as a
// person would run them (GStreamer's pipewiresrc, pw-record) and the test
// playing the engine: it attaches to the daemon's region and audio device
// and writes pictures and samples as the engine does.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "output/driver_layout.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "platform/device_channel.h"
#include "platform/named_objects.h"
#include "support/engine_support.h"
#include "support/output_support.h"
#include "support/pipewire_session.h"

namespace tavin {
namespace {

namespace region = driver::region;
namespace slot = driver::slot;
using namespace std::chrono_literals;

constexpr double kWaitSeconds = 20.0;

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The daemon in the session, with a device directory of its own.
class Daemon {
public:
    Daemon(const test::PipewireSession& session, const std::vector<std::string>& args) {
        std::vector<std::string> argv{test::toolPath("tavin-webcamd"), "--device-dir", devices()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = session.env();
        process_ = std::make_unique<test::ChildProcess>(argv, env);
        ready_ = process_->waitForLine("tavin-webcamd: ready").has_value();
    }
    bool ready() const { return ready_; }
    std::string devices() const { return dir_.path() + "/devices"; }
    // Waits until `count` lines containing `text` were printed.
    bool waitForCount(const std::string& text, int count = 1) {
        return test::waitFor([&] { return process_->countLines(text) >= count; }, kWaitSeconds);
    }
    test::ChildProcess& process() { return *process_; }

private:
    test::TempDir dir_;
    std::unique_ptr<test::ChildProcess> process_;
    bool ready_ = false;
};

// What the engine does with one camera index of the daemon.
class EngineSide {
public:
    EngineSide(int index, const std::string& deviceDir) : index_(index) {
        region_ = test::mapRegion(index);
        int error = 0;
        audio_ = platform::DeviceHandle::open(deviceDir + "/audio" + std::to_string(index) + ".sock", &error);
    }
    bool ok() const { return region_ && audio_; }
    std::uint8_t* data() const { return region_->data(); }

    // Open: the audio device first, then the region (slots zeroed, attached).
    void attach() {
        std::uint8_t input[8];
        writeLe32(input, driver::kAudioInterface);
        writeLe32(input + 4, static_cast<std::uint32_t>(index_));
        std::uint32_t returned = 0;
        audio_->request(driver::kIoAttach, input, 8, nullptr, 0, &returned);
        std::memset(data() + region::kSlot0, 0, region::kSlotsEnd - region::kSlot0);
        std::atomic_ref<std::uint8_t>(data()[region::kAttached]).store(1, std::memory_order_release);
    }
    void detach() {
        std::atomic_ref<std::uint8_t>(data()[region::kAttached]).store(0, std::memory_order_release);
        std::uint32_t returned = 0;
        audio_->request(driver::kIoDetach, nullptr, 0, nullptr, 0, &returned);
    }

    std::uint8_t consumerState() const {
        return std::atomic_ref<std::uint8_t>(data()[region::kConsumerState]).load(std::memory_order_acquire);
    }
    struct Request {
        std::int32_t width, height;
        float fps;
        std::int32_t kind;
    };
    Request request() const {
        return {readLeI32(data() + region::kRequestWidth), readLeI32(data() + region::kRequestHeight),
                readLeF32(data() + region::kRequestFps), readLeI32(data() + region::kRequestKind)};
    }

    std::atomic_ref<std::uint32_t> ready(int s) const {
        return std::atomic_ref<std::uint32_t>(
            *reinterpret_cast<std::uint32_t*>(data() + region::slotOffset(s) + slot::kReady));
    }
    // A picture into the slot the engine would choose: a free one, else the
    // one with the older time stamp; the ready flag last.
    void writePicture(const std::vector<std::uint8_t>& pixels, float stamp) {
        int s = ready(0).load(std::memory_order_acquire) == 0   ? 0
                : ready(1).load(std::memory_order_acquire) == 0 ? 1
                : readLeF32(data() + region::kSlot1 + slot::kTimeStamp) <
                        readLeF32(data() + region::kSlot0 + slot::kTimeStamp)
                    ? 1
                    : 0;
        std::uint8_t* base = data() + region::slotOffset(s);
        std::memcpy(base, pixels.data(), pixels.size());
        writeLeI32(base + slot::kByteCount, static_cast<std::int32_t>(pixels.size()));
        writeLeF32(base + slot::kTimeStamp, stamp);
        ready(s).store(1, std::memory_order_release);
    }
    bool slotsTaken() const {
        return test::waitFor(
            [&] {
                return ready(0).load(std::memory_order_acquire) == 0 && ready(1).load(std::memory_order_acquire) == 0;
            },
            kWaitSeconds);
    }

    // One audio write; the fill level the reply carries, or -1.
    long long writeAudio(const std::vector<std::int16_t>& samples) {
        std::vector<std::uint8_t> bytes(samples.size() * 2);
        for (std::size_t i = 0; i < samples.size(); ++i)
            writeLe16(bytes.data() + 2 * i, static_cast<std::uint16_t>(samples[i]));
        std::uint8_t reply[driver::kAudioWriteReply] = {};
        std::uint32_t returned = 0;
        if (!audio_->request(driver::kAudioWrite, bytes.data(), static_cast<std::uint32_t>(bytes.size()), reply,
                             sizeof reply, &returned) ||
            returned < sizeof reply)
            return -1;
        return readLe32(reply + driver::kAudioWriteLevel);
    }

    // Rewrites the driver format list under the mutex, as the engine does.
    void writeFormatList(const std::vector<std::array<std::uint32_t, 4>>& entries) {
        auto mutex = platform::NamedMutex::open(driver::kMutexNames[index_]);
        ASSERT_TRUE(mutex && platform::holds(mutex->lock(1000)));
        writeLe32(data() + region::kFormatCount, 0);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            for (std::size_t w = 0; w < 4; ++w)
                writeLe32(data() + region::kFormatEntries + region::kFormatEntrySize * i + 4 * w, entries[i][w]);
            writeLe32(data() + region::kFormatCount, static_cast<std::uint32_t>(i + 1));
        }
        mutex->unlock();
    }

private:
    const int index_;
    std::unique_ptr<platform::SharedRegion> region_;
    std::unique_ptr<platform::DeviceHandle> audio_;
};

// The samples of a 16-bit mono WAV file, found by walking its chunks.
std::vector<std::int16_t> wavSamples(const std::string& path) {
    const std::vector<std::uint8_t> f = readFile(path);
    std::vector<std::int16_t> samples;
    if (f.size() < 12 || std::memcmp(f.data(), "RIFF", 4) != 0 || std::memcmp(f.data() + 8, "WAVE", 4) != 0)
        return samples;
    std::size_t at = 12;
    while (at + 8 <= f.size()) {
        const std::size_t size = readLe32(&f[at + 4]);
        if (std::memcmp(&f[at], "data", 4) == 0) {
            const std::size_t end = std::min(f.size(), at + 8 + size);
            for (std::size_t i = at + 8; i + 1 < end; i += 2)
                samples.push_back(static_cast<std::int16_t>(readLe16(&f[i])));
            break;
        }
        at += 8 + size + (size & 1);
    }
    return samples;
}

// Rising zero crossings per second over the samples of [from, from + count).
double toneHz(const std::vector<std::int16_t>& s, std::size_t from, std::size_t count) {
    int crossings = 0;
    for (std::size_t i = from + 1; i < from + count && i < s.size(); ++i)
        if (s[i - 1] < 0 && s[i] >= 0) ++crossings;
    return crossings * 48'000.0 / static_cast<double>(count);
}

// A recognisable picture: every byte depends on its offset and the number.
std::vector<std::uint8_t> testPicture(std::size_t bytes, int number) {
    std::vector<std::uint8_t> p(bytes);
    for (std::size_t i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(i * 7 + i / 640 + number * 13);
    return p;
}

// The nodes of the session as "description|media class" lines.
std::vector<std::string> nodes(const test::PipewireSession& session) {
    std::vector<std::string> found;
    auto out = session.run({"pw-cli", "ls", "Node"});
    if (!out) return found;
    std::string description, mediaClass;
    for (const std::string& line : *out) {
        if (line.find("\tid ") == 0 || line.find("id ") == 0) {
            if (!description.empty()) found.push_back(description + "|" + mediaClass);
            description.clear();
            mediaClass.clear();
        }
        auto value = [&](const char* key) -> std::string {
            const std::size_t at = line.find(key);
            if (at == std::string::npos) return "";
            const std::size_t open = line.find('"', at);
            const std::size_t close = line.rfind('"');
            return open != std::string::npos && close > open ? line.substr(open + 1, close - open - 1) : "";
        };
        if (auto d = value("node.description"); !d.empty()) description = d;
        if (auto c = value("media.class"); !c.empty()) mediaClass = c;
    }
    if (!description.empty()) found.push_back(description + "|" + mediaClass);
    return found;
}

bool hasNode(const test::PipewireSession& session, const std::string& entry) {
    const auto all = nodes(session);
    return std::find(all.begin(), all.end(), entry) != all.end();
}

class WebcamdPipewire : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string why = test::PipewireSession::unavailableReason();
        if (!why.empty()) {
            skipReason_ = why;
            return;
        }
        session_ = new test::PipewireSession();
        if (!session_->ok()) skipReason_ = "the PipeWire session did not come up";
    }
    static void TearDownTestSuite() {
        delete session_;
        session_ = nullptr;
    }
    void SetUp() override {
        if (!skipReason_.empty()) GTEST_SKIP() << skipReason_;
    }
    void TearDown() override { test::unlinkOutputObjects(); }

    static test::PipewireSession* session_;
    static std::string skipReason_;
};
test::PipewireSession* WebcamdPipewire::session_ = nullptr;
std::string WebcamdPipewire::skipReason_;

TEST_F(WebcamdPipewire, NodesFollowTheEngineAndAConsumerGetsItsFormatAndThePictures) {
    Daemon daemon(*session_, {"--cameras", "0,1"});
    ASSERT_TRUE(daemon.ready());
    EngineSide engine(0, daemon.devices());
    ASSERT_TRUE(engine.ok());
    engine.attach();
    ASSERT_TRUE(daemon.waitForCount("camera 0 node \"Tavin Webcam\" published"));
    ASSERT_TRUE(daemon.waitForCount("audio 0 node \"Tavin Webcam Audio\" published"));
    EXPECT_TRUE(test::waitFor([&] { return hasNode(*session_, "Tavin Webcam|Video/Source"); }, kWaitSeconds));
    EXPECT_TRUE(hasNode(*session_, "Tavin Webcam Audio|Audio/Source"));
    // Camera 1 is served but not opened by the engine: no node.
    for (const std::string& n : nodes(*session_)) EXPECT_EQ(n.find("Tavin Webcam #2"), std::string::npos) << n;
    EXPECT_EQ(engine.consumerState(), 0);

    // A consumer asking for 640 x 480 I420: the request and the consumer
    // state reach the region, and the pictures written reach the consumer
    // unchanged.
    test::TempDir out;
    const std::string file = out.path() + "/frames.yuv";
    constexpr int kFrames = 5;
    auto consumer = session_->spawn({"gst-launch-1.0", "-q", "pipewiresrc", "target-object=tavin-webcam",
                                     "num-buffers=" + std::to_string(kFrames), "!",
                                     "video/x-raw,format=I420,width=640,height=480", "!", "filesink",
                                     "location=" + file});
    ASSERT_TRUE(test::waitFor([&] { return engine.consumerState() == region::kConsumerReading; }, kWaitSeconds));
    const EngineSide::Request r = engine.request();
    EXPECT_EQ(r.width, 640);
    EXPECT_EQ(r.height, 480);
    EXPECT_EQ(r.kind, driver::kI420);
    EXPECT_FLOAT_EQ(r.fps, 30.0f);

    const std::size_t bytes = driver::pictureBytes(driver::kI420, 640, 480);
    std::vector<std::vector<std::uint8_t>> written;
    const double end = platform::processClock() + kWaitSeconds;
    while (!consumer->wait(0ms) && platform::processClock() < end) {
        written.push_back(testPicture(bytes, static_cast<int>(written.size())));
        engine.writePicture(written.back(), static_cast<float>(platform::processClock()));
        platform::sleepMs(33);
    }
    ASSERT_TRUE(consumer->wait(5s).has_value()) << "the consumer did not get its pictures";
    const std::vector<std::uint8_t> got = readFile(file);
    ASSERT_EQ(got.size(), kFrames * bytes);
    std::size_t next = 0;
    for (int f = 0; f < kFrames; ++f) {
        const auto begin = got.begin() + static_cast<std::ptrdiff_t>(f * bytes);
        bool found = false;
        for (; next < written.size() && !found; ++next) found = std::equal(begin, begin + bytes, written[next].begin());
        EXPECT_TRUE(found) << "frame " << f << " is none of the pictures written, in order";
    }
    EXPECT_TRUE(test::waitFor([&] { return engine.consumerState() == 0; }, kWaitSeconds));

    // A consumer killed mid-stream leaves the engine's slots taken as ever.
    auto killed = session_->spawn({"gst-launch-1.0", "-q", "pipewiresrc", "target-object=tavin-webcam", "!",
                                   "video/x-raw,format=YUY2,width=1280,height=720", "!", "fakesink"});
    ASSERT_TRUE(test::waitFor([&] { return engine.consumerState() == region::kConsumerReading; }, kWaitSeconds));
    const std::vector<std::uint8_t> yuy2 = testPicture(driver::pictureBytes(driver::kYuy2, 1280, 720), 1);
    engine.writePicture(yuy2, 1.0f);
    ::kill(killed->pid(), SIGKILL);
    for (int i = 0; i < 30; ++i) {
        engine.writePicture(yuy2, 1.0f + static_cast<float>(i) / 30.0f);
        ASSERT_TRUE(engine.slotsTaken()) << "picture " << i;
    }
    EXPECT_TRUE(test::waitFor([&] { return engine.consumerState() == 0; }, kWaitSeconds));

    // The engine closes: the nodes go; it opens again: they come back.
    engine.detach();
    ASSERT_TRUE(daemon.waitForCount("camera 0 node withdrawn"));
    ASSERT_TRUE(daemon.waitForCount("audio 0 node withdrawn"));
    EXPECT_TRUE(test::waitFor([&] { return !hasNode(*session_, "Tavin Webcam|Video/Source"); }, kWaitSeconds));
    engine.attach();
    EXPECT_TRUE(daemon.waitForCount("camera 0 node \"Tavin Webcam\" published", 2));
    EXPECT_TRUE(daemon.waitForCount("audio 0 node \"Tavin Webcam Audio\" published", 2));
}

TEST_F(WebcamdPipewire, TheSoundReachesAnAudioConsumerAndTheReplyCarriesTheRealBacklog) {
    Daemon daemon(*session_, {"--cameras", "0"});
    ASSERT_TRUE(daemon.ready());
    EngineSide engine(0, daemon.devices());
    ASSERT_TRUE(engine.ok());
    engine.attach();
    ASSERT_TRUE(daemon.waitForCount("audio 0 node \"Tavin Webcam Audio\" published"));

    // 20 ms packets of a 1 kHz tone, as the engine writes them.
    constexpr double kToneHz = 1000.0;
    constexpr std::size_t kPacket = 960;
    std::size_t sampleNumber = 0;
    auto packet = [&] {
        std::vector<std::int16_t> p(kPacket);
        for (auto& v : p)
            v = static_cast<std::int16_t>(
                12'000.0 * std::sin(2.0 * M_PI * kToneHz * static_cast<double>(sampleNumber++) / 48'000.0));
        return p;
    };
    // Nobody listens: no backlog builds up.
    for (int i = 0; i < 10; ++i) EXPECT_EQ(engine.writeAudio(packet()), static_cast<long long>(2 * kPacket));

    // A camera consumer at the same time: the camera's node leads its own
    // graph, and the sound keeps the pace of a clock of its own.
    auto camera = session_->spawn({"gst-launch-1.0", "-q", "pipewiresrc", "target-object=tavin-webcam", "!",
                                   "video/x-raw,format=YUY2,width=640,height=360", "!", "fakesink"});
    ASSERT_TRUE(daemon.waitForCount("camera 0 consumer on"));
    test::TempDir out;
    const std::string wav = out.path() + "/sound.wav";
    auto recorder = session_->spawn({"pw-record", "--target", "tavin-webcam-audio", "--rate", "48000",
                                     "--channels", "1", "--format", "s16", wav});
    ASSERT_TRUE(daemon.waitForCount("audio 0 consumer on"));

    // Four seconds on the writer's clock; the graph plays on its own.
    std::vector<long long> levels;
    const double start = platform::processClock();
    for (int i = 0; i < 200; ++i) {
        levels.push_back(engine.writeAudio(packet()));
        const double due = start + 0.02 * (i + 1) - platform::processClock();
        if (due > 0) platform::sleepMs(static_cast<int>(due * 1000.0));
    }
    recorder->stop();  // pw-record finishes its file on SIGTERM

    std::vector<long long> late(levels.begin() + 100, levels.end());
    std::sort(late.begin(), late.end());
    const long long median = late[late.size() / 2];
    std::printf("audio: fill level over the last 2 s: median %lld bytes, lowest %lld, highest %lld\n", median,
                late.front(), late.back());
    // The reply carries more than the packet: the sound waiting for the
    // graph. A backlog growing without bound would reach the buffer's second.
    EXPECT_GT(median, static_cast<long long>(2 * kPacket));
    EXPECT_LT(median, 48'000);

    const std::vector<std::int16_t> samples = wavSamples(wav);
    ASSERT_GT(samples.size(), 48'000u * 2);
    const double hz = toneHz(samples, samples.size() / 2 - 48'000, 48'000);
    std::printf("audio: %zu samples recorded, tone %.1f Hz\n", samples.size(), hz);
    EXPECT_NEAR(hz, kToneHz, 10.0);
}

TEST_F(WebcamdPipewire, TheEnginesFormatListBecomesTheOffer) {
    Daemon daemon(*session_, {"--cameras", "0"});
    ASSERT_TRUE(daemon.ready());
    EngineSide engine(0, daemon.devices());
    ASSERT_TRUE(engine.ok());
    EXPECT_NE(readLe32(engine.data() + region::kFormatListFlag), 0u) << "the daemon takes a format list";
    engine.attach();
    ASSERT_TRUE(daemon.waitForCount("camera 0 node \"Tavin Webcam\" published"));
    // The user picked 1920 x 1080: the engine writes it at 30 and 60.06.
    engine.writeFormatList({{1920, 1080, 30'000, 0}, {1920, 1080, 60'060, 0}});
    ASSERT_TRUE(daemon.waitForCount("camera 0 offers 1 sizes"));
    // A consumer that names no size gets the one offered, at the first rate.
    auto consumer = session_->spawn({"gst-launch-1.0", "-q", "pipewiresrc", "target-object=tavin-webcam", "!",
                                     "video/x-raw,format=YUY2", "!", "fakesink"});
    ASSERT_TRUE(test::waitFor([&] { return engine.consumerState() == region::kConsumerReading; }, kWaitSeconds));
    const EngineSide::Request r = engine.request();
    EXPECT_EQ(r.width, 1920);
    EXPECT_EQ(r.height, 1080);
    EXPECT_EQ(r.kind, driver::kYuy2);
    EXPECT_FLOAT_EQ(r.fps, 30.0f);
}

TEST_F(WebcamdPipewire, TheNodesComeWhenPipewireStartsLateAndBackAfterItRestarts) {
    session_->stopServer();
    Daemon daemon(*session_, {"--cameras", "0"});
    ASSERT_TRUE(daemon.ready());
    EngineSide engine(0, daemon.devices());
    ASSERT_TRUE(engine.ok());
    engine.attach();
    ASSERT_TRUE(daemon.waitForCount("PipeWire not reachable"));
    ASSERT_TRUE(session_->startServer());
    ASSERT_TRUE(daemon.waitForCount("camera 0 node \"Tavin Webcam\" published"));
    session_->stopServer();
    ASSERT_TRUE(daemon.waitForCount("PipeWire connection lost"));
    ASSERT_TRUE(session_->startServer());
    EXPECT_TRUE(daemon.waitForCount("camera 0 node \"Tavin Webcam\" published", 2));
    EXPECT_TRUE(daemon.waitForCount("audio 0 node \"Tavin Webcam Audio\" published", 2));
    EXPECT_TRUE(test::waitFor([&] { return hasNode(*session_, "Tavin Webcam|Video/Source"); }, kWaitSeconds));
    // And a consumer reads it as before.
    auto consumer = session_->spawn({"gst-launch-1.0", "-q", "pipewiresrc", "target-object=tavin-webcam", "!",
                                     "video/x-raw,format=BGR,width=640,height=360", "!", "fakesink"});
    EXPECT_TRUE(test::waitFor([&] { return engine.consumerState() == region::kConsumerReading; }, kWaitSeconds));
    EXPECT_EQ(engine.request().kind, driver::kBgr24);
}

}  // namespace
}  // namespace tavin
