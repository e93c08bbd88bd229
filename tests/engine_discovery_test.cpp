// The whole road from an announcement to a stream: the phone simulator
// announces itself by multicast from a network namespace of its own, joined
// to the test's namespace by a veth pair; the opened engine registers it,
// slot 0 chooses it and connects, and the host hears it in its phone list.
// The engine starts before the link exists and finds the phone through its
// reaction to the change of the PC's addresses.
// Nothing here reaches an interface of the machine; the test skips, with
// the reason, where namespaces cannot be made.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "engine.h"
#include "engine/engine_instance.h"
#include "engine/instance_table.h"
#include "engine/phone_list.h"
#include "session/phone_registry.h"
#include "support/engine_support.h"
#include "support/netns.h"

using namespace tavin;
using namespace std::chrono_literals;

namespace {

constexpr const char* kIdText = "c4a1b2c3d4e5f60718293a4b5c6d7e8f";
const PhoneId kId{0xc4, 0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6, 0x07,
                  0x18, 0x29, 0x3a, 0x4b, 0x5c, 0x6d, 0x7e, 0x8f};

class DiscoveredPhone : public test::OpenedEngine {
protected:
    void SetUp() override {
        std::string why = test::namespaceUnavailableReason();
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(test::enterPrivateNetwork(&why)) << why;
        entered_ = true;
    }
    void TearDown() override {
        if (!entered_) return;
        OpenedEngine::TearDown();
        phone_.reset();
        peer_.reset();
    }

    bool entered_ = false;
    std::unique_ptr<test::PeerNamespace> peer_;
    std::unique_ptr<test::ChildProcess> phone_;
};

}  // namespace

TEST_F(DiscoveredPhone, AnnouncedPhoneIsChosenAndListedWithItsPath) {
    // The engine opens while only loopback exists, so discovery has nothing
    // to listen on; the veth pair that comes next changes the addresses,
    // and only the reaction to that change lets discovery hear the phone.
    open(1, {"--consumer"});
    waitForWorkers();
    std::string why;
    peer_ = test::PeerNamespace::create(test::PeerNamespace::Config{}, &why);
    ASSERT_TRUE(peer_) << why;
    const std::string peerAddress = test::PeerNamespace::addressOf(peer_->config().peerIpv4);
    phone_ = std::make_unique<test::ChildProcess>(peer_->command(
        {test::toolPath("phone"), "--bind", "0.0.0.0", "--probe-port", "0", "--id", kIdText, "--name",
         "Announced phone", "--no-log", "--announce", "239.255.188.58",
         "--announce-interface", peer_->config().peerName, "--announce-interval", "300"}));
    ASSERT_TRUE(phone_->waitForLine("phone: listening", 20s));

    // The announcement registers the phone at its sender's address with
    // the session port; slot 0 chooses it once its worker runs.
    EngineInstance& slot0 = *InstanceTable::at(0);
    ASSERT_TRUE(test::waitFor([&] { return slot0.currentPhoneId() == kId; }, 15.0));
    const std::string address = PhoneRegistry::instance().withRecords([&](auto& records) {
        for (const auto& r : records) {
            if (r->id != kId) continue;
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &r->ipv4.sin_addr, text, sizeof text);
            return std::string(text) + ":" + std::to_string(ntohs(r->ipv4.sin_port));
        }
        return std::string();
    });
    EXPECT_EQ(address, peerAddress + ":4699");

    // Streaming: the host hears the phone with its key and " [WiFi]".
    const std::string expected = "0 0 " + phoneKey(kId) + " Announced phone [WiFi] 1";
    EXPECT_TRUE(test::waitFor(
        [&] {
            std::lock_guard<std::mutex> guard(test::hostLog().lock);
            const auto& phones = test::hostLog().phones;
            return std::find(phones.begin(), phones.end(), expected) != phones.end();
        },
        10.0))
        << expected;
    EXPECT_TRUE(test::hostLog().hasStatus(0, 3));
}
