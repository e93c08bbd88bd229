// An iPhone on a cable, end to end: the phone simulator behind the usbmuxd
// peer, both real processes, and the opened engine with the real
// libusbmuxd. The watcher of slot 0 probes the attached device, the phone
// is chosen and streams over usbmuxd, and the host sees it as a USB phone.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "engine.h"
#include "engine/engine_instance.h"
#include "engine/instance_table.h"
#include "engine/phone_list.h"
#include "platform/clock.h"
#include "session/phone_registry.h"
#include "support/engine_support.h"
#include "support/session_support.h"
#include "support/usbmux_support.h"

using namespace tavin;

namespace {

const PhoneId kId{0x1e, 0x55, 0x0b, 0x00, 0xca, 0xb1, 0xe0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr const char* kIdText = "1e550b00cab1e0000000000000000001";
constexpr std::uint32_t kHandle = 41;

class CablePhone : public test::OpenedEngine {
protected:
    test::UsbmuxPeerProcess peer;  // points libusbmuxd at itself before the engine opens
};

bool hostHeard(const std::string& line) {
    std::lock_guard<std::mutex> guard(test::hostLog().lock);
    const auto& phones = test::hostLog().phones;
    return std::find(phones.begin(), phones.end(), line) != phones.end();
}

}  // namespace

TEST_F(CablePhone, AttachedPhoneIsFoundChosenAndStreamsOverUsbmux) {
    ASSERT_TRUE(peer.started());
    test::PhoneProcess phone({"--probe-port", "auto", "--id", kIdText, "--name", "Cable phone", "--stream-unasked",
                              "--no-log"});
    ASSERT_TRUE(phone.started());
    open(1, {"--consumer"});
    ASSERT_TRUE(peer.attach(kHandle, true,
                            {{protocol::kProbePort, phone.probePort()}, {protocol::kSessionPort, phone.sessionPort()}}));

    // Slot 0 chooses the phone once its worker runs, and connects over
    // usbmuxd: the only path the phone has.
    EngineInstance& slot0 = *InstanceTable::at(0);
    ASSERT_TRUE(test::waitFor([&] { return test::hostLog().hasStatus(0, 3); }, 20.0));
    EXPECT_EQ(slot0.currentPhoneId(), kId);
    EXPECT_TRUE(slot0.viaUsb());
    EXPECT_TRUE(peer.process().waitForLine("connect 41:4699 proxied"));
    const auto [handle, usbScore] = PhoneRegistry::instance().withRecords([](auto& records) {
        for (const auto& r : records) {
            if (r->id == kId) return std::make_pair(r->usbmuxUsbHandle, r->usbScore);
        }
        return std::make_pair(0u, -100);
    });
    EXPECT_EQ(handle, kHandle);
    EXPECT_EQ(usbScore, 1);  // the stream counted for the USB path

    // The host lists it with the name from the session and " [USB]".
    const std::string expected = "0 0 " + phoneKey(kId) + " Cable phone [USB] 1";
    EXPECT_TRUE(test::waitFor([&] { return hostHeard(expected); }, 10.0)) << expected;

    // Destroying slot 0 during the session stops the session, the watcher
    // and libusbmuxd's thread within their bounded waits.
    const double start = platform::processClock();
    EUninitialize(0);
    EXPECT_LT(platform::processClock() - start, 5.0);
}
