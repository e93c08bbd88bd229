// An opened engine slot given a phone through its sink: it chooses the
// phone, connects to the real phone simulator, answers it, asks for the
// stream, publishes the phone's pictures to the camera and forwards the
// host's and the driver's controls.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include "engine.h"
#include "engine/engine_instance.h"
#include "engine/instance_table.h"
#include "engine/phone_list.h"
#include "platform/clock.h"
#include "support/engine_support.h"
#include "support/session_support.h"
#include "support/video_support.h"

using namespace tavin;
using test::OpenedEngine;
using test::waitFor;

TEST_F(OpenedEngine, APhoneFromTheSinkIsChosenConnectedAndTold) {
    if (!test::PhoneProcess::available()) GTEST_SKIP() << "the phone simulator is not built";
    open(1, {"--consumer", "--format", "1280x720@30:1"});
    test::PhoneProcess phone({"--name", "Simulated", "--id", "7a3c0e51d2b84f96a1c5e0f3b7d29486", "--hevc"});
    ASSERT_TRUE(phone.started());

    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const PhoneId id{0x7a, 0x3c, 0x0e, 0x51, 0xd2, 0xb8, 0x4f, 0x96, 0xa1, 0xc5, 0xe0, 0xf3, 0xb7, 0xd2, 0x94, 0x86};
    EngineInstance& slot0 = *InstanceTable::at(0);
    slot0.networkSink().PhoneFound(id, 7, "", reinterpret_cast<sockaddr*>(&a), htons(phone.sessionPort()));

    // After the start delay slot 0 chooses the phone and connects; the
    // phone hears the version, the format and codec of the decoder the
    // engine got (an HEVC decoder needs a VA-API device, H.264 is the
    // fallback), the usage "not yet known", then the real one.
    const std::string request =
        std::string("rx FormatRequest codec=") + (test::vaapiAvailable() ? "2" : "1") + " 1280x720@30";
    EXPECT_TRUE(phone.waitForLog("rx EngineVersion 12 15", 8000));
    EXPECT_TRUE(phone.waitForLog("rx CameraUsage count=1 index=0 usage=0", 3000));
    EXPECT_TRUE(phone.waitForLog("rx CameraUsage count=1 index=0 usage=2", 3000));
    const auto lines = phone.logLines();
    auto position = [&](const std::string& text) {
        return std::find_if(lines.begin(), lines.end(),
                            [&](const std::string& line) { return line.find(text) != std::string::npos; }) -
               lines.begin();
    };
    EXPECT_LT(position("rx EngineVersion"), position(request));
    EXPECT_LT(position(request), position("rx CameraUsage count=1 index=0 usage=0"));
    EXPECT_TRUE(phone.waitForLog("rx PingReply", 3000));
    EXPECT_EQ(slot0.currentPhoneId(), id);
    EXPECT_TRUE(test::hostLog().hasStatus(0, 2));  // Connecting

    // Host controls reach the phone.
    ButtonEvent(0, 4, 77);
    EXPECT_TRUE(phone.waitForLog("rx Button code=4 value=77", 3000));
    EFocusDistance(0, 1, 0.5f);
    EXPECT_TRUE(phone.waitForLog("rx FocusDistance", 3000));

    // The driver's control value is forwarded to the phone as a Button.
    ASSERT_TRUE(vcam_->command("control 0 A 5", "control"));
    EXPECT_TRUE(phone.waitForLog("rx Button code=4 value=5", 3000));

    // The phone streams as asked: its pictures reach the camera in the
    // consumer's format, the phone hears the timing of each, and the host
    // hears the picture size and the phone with its key and its path.
    EXPECT_TRUE(vcam_->waitForCount("camera 0 picture 1280x720 kind 1", 1));
    EXPECT_TRUE(phone.waitForLog("rx Timing", 3000));
    EXPECT_TRUE(test::waitFor(
        [&] {
            std::lock_guard<std::mutex> guard(test::hostLog().lock);
            return !test::hostLog().frameSizes.empty();
        },
        5.0));
    {
        std::lock_guard<std::mutex> guard(test::hostLog().lock);
        EXPECT_EQ(test::hostLog().frameSizes, std::vector<std::string>{"0 1280x720"});
    }
    const std::string expected = "0 0 " + phoneKey(id) + " Simulated [WiFi] 1";
    EXPECT_EQ(phoneKey(id), "1359887482");
    EXPECT_TRUE(test::waitFor(
        [&] {
            std::lock_guard<std::mutex> guard(test::hostLog().lock);
            const auto& phones = test::hostLog().phones;
            return std::find(phones.begin(), phones.end(), expected) != phones.end();
        },
        5.0));
    EXPECT_TRUE(test::hostLog().hasStatus(0, 3));  // Streaming
}
