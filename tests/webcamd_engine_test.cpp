// The engine, a streaming simulated phone and the camera daemon in a
// private PipeWire session, with consumers as a person would run them: the
// idle picture reaches a camera consumer before any phone connects; a
// consumer reaches the phone as CameraUsage and as the size of its
// FormatRequest, and gets the phone's picture; the phone's tone reaches an
// audio consumer while the camera is read too.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "engine.h"
#include "engine/engine_instance.h"
#include "engine/instance_table.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "support/engine_support.h"
#include "support/output_support.h"
#include "support/pipewire_session.h"
#include "support/session_support.h"
#include "phone/test_picture.h"

namespace tavin {
namespace {

constexpr double kWaitSeconds = 20.0;

void onStatus(int32_t index, int32_t code) {
    std::lock_guard<std::mutex> guard(test::hostLog().lock);
    test::hostLog().status.emplace_back(index, code);
}
int32_t onFormats(int32_t, const char*) { return 0; }

// The usage the phone heard last ("usage=1" nobody, "usage=2" watched).
std::string lastUsage(test::PhoneProcess& phone) {
    const auto lines = phone.logLines();
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
        if (const std::size_t at = it->find("rx CameraUsage"); at != std::string::npos)
            return it->substr(it->rfind(' ') + 1);
    return "";
}

// Samples of a 16-bit WAV file's data chunk.
std::vector<std::int16_t> wavSamples(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> f(std::istreambuf_iterator<char>(in), {});
    std::vector<std::int16_t> samples;
    for (std::size_t at = 12; f.size() >= 12 && at + 8 <= f.size();) {
        const std::size_t size = readLe32(&f[at + 4]);
        if (std::memcmp(&f[at], "data", 4) == 0) {
            for (std::size_t i = at + 8; i + 1 < std::min(f.size(), at + 8 + size); i += 2)
                samples.push_back(static_cast<std::int16_t>(readLe16(&f[i])));
            break;
        }
        at += 8 + size + (size & 1);
    }
    return samples;
}

// Mean absolute difference between the Y plane of an I420 picture and that
// of the simulator's test picture `frame` at the same size.
double lumaDifference(const std::uint8_t* picture, int width, int height, std::uint64_t frame) {
    std::vector<std::uint8_t> y(static_cast<std::size_t>(width) * height), u(y.size() / 4), v(y.size() / 4);
    phonesim::drawTestPicture({y.data(), width, u.data(), width / 2, v.data(), width / 2, width, height}, frame);
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < y.size(); ++i) sum += static_cast<std::uint64_t>(std::abs(picture[i] - y[i]));
    return static_cast<double>(sum) / static_cast<double>(y.size());
}

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST(WebcamdEngine, CameraConsumersReachThePhoneAndThePhonesToneReachesAnAudioConsumer) {
    if (!test::PhoneProcess::available()) GTEST_SKIP() << "the phone simulator is not built";
    const std::string why = test::PipewireSession::unavailableReason();
    if (!why.empty()) GTEST_SKIP() << why;
    test::PipewireSession session;
    ASSERT_TRUE(session.ok()) << "the PipeWire session did not come up";

    test::ScopedDeviceDir devices;
    test::TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/engine-test-bus", 0);
    auto daemon = session.spawn({test::toolPath("tavin-webcamd"), "--cameras", "0", "--device-dir", devices.path()});
    ASSERT_TRUE(daemon->waitForLine("tavin-webcamd: ready"));

    EInitialize(1, onStatus);
    SetCallback(0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, onFormats);
    ASSERT_EQ(EOpen(), 0);
    ASSERT_TRUE(test::hostLog().hasStatus(0, 0));
    ASSERT_TRUE(daemon->waitForLine("camera 0 node \"Tavin Webcam\" published"));
    ASSERT_TRUE(daemon->waitForLine("audio 0 node \"Tavin Webcam Audio\" published"));

    // Before any phone: a consumer gets the idle picture.
    test::TempDir out;
    constexpr int kWidth = 640, kHeight = 480;
    const std::size_t bytes = kWidth * kHeight * 3 / 2;
    const std::string idle = out.path() + "/idle.yuv";
    const std::string i420 = "video/x-raw,format=I420,width=640,height=480";
    auto idleConsumer = session.spawn({"gst-launch-1.0", "-q", "pipewiresrc", "target-object=tavin-webcam",
                                       "num-buffers=3", "!", i420, "!", "filesink", "location=" + idle});
    ASSERT_EQ(idleConsumer->wait(std::chrono::seconds(20)), 0) << "the idle picture did not arrive";
    std::vector<std::uint8_t> frames = readFile(idle);
    ASSERT_EQ(frames.size(), 3 * bytes);
    const auto luma = std::minmax_element(frames.begin() + 2 * bytes, frames.begin() + 2 * bytes + kWidth * kHeight);
    EXPECT_GT(*luma.second - *luma.first, 64) << "the idle picture shows something";

    test::PhoneProcess phone({"--id", "5b1e0c93a2d84f7e9b6c1d0e2f3a4b5c", "--formats",
                              "1280x720@30,640x480@30,1920x1080@30", "--audio", "--tone", "1000"});
    ASSERT_TRUE(phone.started());
    const double start = platform::processClock();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const PhoneId id{0x5b, 0x1e, 0x0c, 0x93, 0xa2, 0xd8, 0x4f, 0x7e, 0x9b, 0x6c, 0x1d, 0x0e, 0x2f, 0x3a, 0x4b, 0x5c};
    InstanceTable::at(0)->networkSink().PhoneFound(id, 7, "", reinterpret_cast<sockaddr*>(&a),
                                                   htons(phone.sessionPort()));
    ASSERT_TRUE(phone.waitForLog("rx CameraUsage count=1 index=0 usage=1", 15'000)) << "nobody watches yet";

    // A camera consumer asking 640 x 480: watched, and the phone is asked
    // for that size.
    auto camera = session.spawn({"gst-launch-1.0", "-q", "pipewiresrc", "target-object=tavin-webcam", "!", i420,
                                 "!", "fakesink"});
    EXPECT_TRUE(phone.waitForLog("rx CameraUsage count=1 index=0 usage=2", 15'000));
    EXPECT_TRUE(test::waitFor(
        [&] {
            const auto lines = phone.logLines();
            return !lines.empty() && std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
                return l.find("rx FormatRequest") != std::string::npos && l.find(" 640x480@30") != std::string::npos;
            });
        },
        kWaitSeconds));
    // A second consumer shares the format and gets the phone's picture, up
    // to the losses of encoding (below 1 on average; another frame differs
    // by far more).
    const std::string streamed = out.path() + "/phone.yuv";
    auto viewer = session.spawn({"gst-launch-1.0", "-q", "pipewiresrc", "target-object=tavin-webcam",
                                 "num-buffers=10", "!", i420, "!", "filesink", "location=" + streamed});
    ASSERT_EQ(viewer->wait(std::chrono::seconds(20)), 0) << "the phone's pictures did not arrive";
    frames = readFile(streamed);
    ASSERT_EQ(frames.size(), 10 * bytes);
    const auto sent = static_cast<std::uint64_t>((platform::processClock() - start + 2.0) * 30.0);
    double best = 255.0;
    for (std::uint64_t n = 0; n <= sent && best > 1.5; ++n)
        best = std::min(best, lumaDifference(frames.data() + 9 * bytes, kWidth, kHeight, n));
    std::printf("engine picture: mean luma difference to the simulator's frame %.2f\n", best);
    EXPECT_LT(best, 4.0) << "mean difference per luma byte";

    // The phone's tone at an audio consumer.
    const std::string wav = out.path() + "/phone.wav";
    auto recorder = session.spawn({"pw-record", "--target", "tavin-webcam-audio", "--rate", "48000", "--channels",
                                   "1", "--format", "s16", wav});
    ASSERT_TRUE(daemon->waitForLine("audio 0 consumer on"));
    platform::sleepMs(4000);
    recorder->stop();  // pw-record finishes its file on SIGTERM
    const std::vector<std::int16_t> samples = wavSamples(wav);
    ASSERT_GT(samples.size(), 48'000u * 2);
    // Rising zero crossings over the last two seconds.
    int crossings = 0;
    const std::size_t from = samples.size() - 2 * 48'000;
    for (std::size_t i = from + 1; i < samples.size(); ++i) crossings += samples[i - 1] < 0 && samples[i] >= 0;
    const double hz = crossings / 2.0;
    std::printf("engine audio: %zu samples recorded, tone %.1f Hz\n", samples.size(), hz);
    EXPECT_NEAR(hz, 1000.0, 20.0);

    // The camera consumer leaves: nobody watches.
    camera->stop();
    EXPECT_TRUE(test::waitFor([&] { return lastUsage(phone) == "usage=1"; }, kWaitSeconds));

    for (std::uint32_t i = 0; i < 4; ++i) EUninitialize(i);
    daemon.reset();
    test::unlinkOutputObjects();
}

}  // namespace
}  // namespace tavin
