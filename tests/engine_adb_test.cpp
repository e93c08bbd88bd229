// An Android phone on a cable, end to end: the phone simulator (kind 2)
// behind the adb stand-in; the opened engine's watcher lists, forwards and
// probes it, slot 0 chooses it and streams from it over the forwarded
// loopback port, and the host sees it as a USB phone. As root the test
// runs in a network namespace of its own, where the ports 4600 and 4699
// are free.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstdio>
#include <string>

#include "engine.h"
#include "engine/engine_instance.h"
#include "engine/instance_table.h"
#include "engine/phone_list.h"
#include "platform/clock.h"
#include "session/phone_registry.h"
#include "support/adb_support.h"
#include "support/engine_support.h"
#include "support/netns.h"
#include "support/session_support.h"

using namespace tavin;

namespace {

const PhoneId kId{0xb2, 0x10, 0x33, 0x04, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x01};
constexpr const char* kIdText = "b21033045566778899aabbccddeeff01";

class AndroidPhone : public test::OpenedEngine {
protected:
    void SetUp() override {
        std::string why;
        if (!test::enterPrivateNetwork(&why)) std::printf("shared loopback: %s\n", why.c_str());
    }

    test::AdbStandIn adb_;  // outlives the engine, which TearDown closes
};

}  // namespace

TEST_F(AndroidPhone, FoundForwardedChosenAndStreamedOverUsb) {
    test::PhoneProcess phone({"--probe-port", "auto", "--kind", "2", "--id", kIdText, "--name", "Android phone",
                              "--stream-unasked", "--no-log"});
    ASSERT_TRUE(phone.started() && phone.probePort() != 0);
    adb_.setDevices("List of devices attached\nR58M123ABC\tdevice\n\n");
    adb_.addPhone("R58M123ABC", phone.probePort(), phone.sessionPort());

    open(1, {"--consumer"});
    EngineInstance& slot0 = *InstanceTable::at(0);
    ASSERT_TRUE(test::waitFor([&] { return slot0.currentPhoneId() == kId; }, 15.0));
    // The registry holds the forwarded session port as the phone's adb path.
    const std::string path = PhoneRegistry::instance().withRecords([&](auto& records) {
        for (const auto& r : records) {
            if (r->id != kId) continue;
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &r->adb.sin_addr, text, sizeof text);
            return std::string(text) + ":" + std::to_string(ntohs(r->adb.sin_port)) + (r->usbFlag ? " usb" : "");
        }
        return std::string();
    });
    EXPECT_EQ(path, "127.0.0.1:4699 usb");

    const std::string expected = "0 0 " + phoneKey(kId) + " Android phone [USB] 1";
    EXPECT_TRUE(test::waitFor([&] { return test::hostLog().hasPhone(expected); }, 15.0)) << expected;
    EXPECT_TRUE(test::hostLog().hasStatus(0, 3));  // Streaming
    EXPECT_TRUE(slot0.viaUsb());

    // Closing slot 0 stops the watcher, which stops adb's server.
    const double before = platform::processClock();
    EUninitialize(0);
    std::printf("EUninitialize(0) took %.3f s\n", platform::processClock() - before);
    EXPECT_EQ(adb_.count("kill-server"), 1);
    EXPECT_TRUE(test::waitFor([&] { return !adb_.serverRunning(); }, 5.0));
    EXPECT_EQ(test::adbChildren().running, 0);
}
