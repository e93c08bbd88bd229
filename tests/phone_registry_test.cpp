// The phone registry: sink reports, path scores, pruning and names.
#include "session/phone_registry.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/session_support.h"

namespace tavin {
namespace {

using test::phoneId;

sockaddr_in v4(const char* text, std::uint16_t port = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, text, &a.sin_addr);
    return a;
}

sockaddr_in6 v6(const char* text) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &a.sin6_addr);
    return a;
}

PeerAddress peerOf(const sockaddr_in& a) {
    PeerAddress p{};
    p.v4 = a;
    return p;
}

PeerAddress peerOf(const sockaddr_in6& a) {
    PeerAddress p{};
    p.v6 = a;
    return p;
}

class PhoneRegistryTest : public ::testing::Test {
protected:
    void SetUp() override { reg.clear(); }
    void TearDown() override { reg.clear(); }

    // A copy of the first record with this id (nothing when none).
    std::optional<PhoneRecord> record(const PhoneId& id) {
        return reg.withRecords([&](auto& records) -> std::optional<PhoneRecord> {
            for (auto& r : records)
                if (r->id == id) return *r;
            return std::nullopt;
        });
    }
    std::size_t size() {
        return reg.withRecords([](auto& records) { return records.size(); });
    }
    void wifi(const PhoneId& id, const char* address, std::uint16_t port = 4699, std::string_view name = "Phone A",
              std::uint16_t kind = 7) {
        sockaddr_in a = v4(address);
        EXPECT_TRUE(reg.networkPhoneFound(id, kind, name, reinterpret_cast<sockaddr*>(&a), htons(port)));
    }
    void wifi6(const PhoneId& id, const char* address, std::uint16_t port = 4699) {
        sockaddr_in6 a = v6(address);
        EXPECT_TRUE(reg.networkPhoneFound(id, 7, "", reinterpret_cast<sockaddr*>(&a), htons(port)));
    }
    bool fail(const PhoneId& id, const PeerAddress& peer, bool usb = false) {
        return reg.setPhoneState(TransportIdentity{id, usb, peer}, PhoneState::Failed);
    }
    bool stream(const PhoneId& id, const PeerAddress& peer, bool usb = false) {
        return reg.setPhoneState(TransportIdentity{id, usb, peer}, PhoneState::Streaming);
    }

    PhoneRegistry& reg = PhoneRegistry::instance();
    const PhoneId a = phoneId(1);
    const PhoneId b = phoneId(2);
};

// ---- Sink reports -----------------------------------------------------------

TEST_F(PhoneRegistryTest, ReportsOfOnePhoneFillOneRecordAndKeepItsKind) {
    EXPECT_TRUE(reg.androidPhoneFound(a, 2, "Pixel", 5555));
    wifi(a, "192.168.1.20", 4699, "", 7);
    wifi6(a, "fe80::1");
    EXPECT_TRUE(reg.iosPhoneFound(a, 9, 77, false, ""));

    ASSERT_EQ(size(), 1u);
    const PhoneRecord r = *record(a);
    EXPECT_EQ(r.kind, 2u);  // the first report's kind stays
    EXPECT_STREQ(r.name, "Pixel");  // an empty name never erases a stored one
    EXPECT_EQ(r.ipv4.sin_family, AF_INET);
    EXPECT_EQ(r.ipv4.sin_port, htons(4699));
    EXPECT_EQ(r.ipv4.sin_addr.s_addr, v4("192.168.1.20").sin_addr.s_addr);
    EXPECT_EQ(r.ipv6.sin6_family, AF_INET6);
    EXPECT_EQ(r.ipv6.sin6_port, htons(4699));
    EXPECT_EQ(r.usbmuxNetworkHandle, 77u);
    EXPECT_TRUE(r.usbFlag);
    EXPECT_EQ(r.usbScore, 1);
    EXPECT_EQ(r.adb.sin_family, AF_INET);
    EXPECT_EQ(r.adb.sin_port, htons(5555));
    EXPECT_EQ(r.adb.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(r.state, PhoneState::Idle);
}

// A neighbour announcing ever new ids cannot grow the registry: the oldest
// idle phone that only the network reaches makes room; phones in use or on
// a cable stay, and with nothing to give up a new id is dropped.
TEST_F(PhoneRegistryTest, HoldsABoundedNumberOfPhones) {
    const PhoneId usb = phoneId(0xA0), streaming = phoneId(0xA1), idle = phoneId(0xA2);
    EXPECT_TRUE(reg.androidPhoneFound(usb, 2, "Cable", 4699));
    wifi(streaming, "10.0.0.1");
    EXPECT_TRUE(stream(streaming, PeerAddress{}));
    wifi(idle, "10.0.0.2");
    for (std::uint8_t i = 3; size() < kMaxPhoneRecords; ++i) wifi(phoneId(i, 0x11), "10.0.0.3");
    wifi(phoneId(0xB0), "10.0.0.4");
    EXPECT_EQ(size(), kMaxPhoneRecords);
    EXPECT_TRUE(record(usb) && record(streaming) && record(phoneId(0xB0)));
    EXPECT_FALSE(record(idle));  // the oldest replaceable one

    reg.withRecords([](auto& records) {
        for (auto& r : records) r->state = PhoneState::Connecting;
    });
    sockaddr_in addr = v4("10.0.0.5");
    EXPECT_FALSE(reg.networkPhoneFound(phoneId(0xB1), 7, "x", reinterpret_cast<sockaddr*>(&addr), htons(4699)));
    EXPECT_FALSE(reg.iosPhoneFound(phoneId(0xB2), 7, 9, true, ""));
    EXPECT_FALSE(record(phoneId(0xB1)));
    EXPECT_EQ(size(), kMaxPhoneRecords);
}

TEST_F(PhoneRegistryTest, AReportWithoutAnInternetAddressIsRejected) {
    sockaddr_in a4 = v4("10.0.0.1");
    a4.sin_family = AF_UNIX;
    EXPECT_FALSE(reg.networkPhoneFound(a, 7, "x", reinterpret_cast<sockaddr*>(&a4), htons(1)));
    EXPECT_FALSE(reg.networkPhoneFound(a, 7, "x", nullptr, htons(1)));
    EXPECT_EQ(size(), 0u);
}

TEST_F(PhoneRegistryTest, NamesAreBoundedToTheField) {
    const std::string longName(300, 'n');
    wifi(a, "10.0.0.1", 4699, longName);
    const PhoneRecord r = *record(a);
    EXPECT_EQ(std::strlen(r.name), 255u);
    EXPECT_EQ(std::string(r.name), std::string(255, 'n'));
    EXPECT_EQ(reg.nameOf(a), std::string(255, 'n'));

    // Text after an embedded NUL is not part of the name.
    wifi(a, "10.0.0.1", 4699, std::string_view("short\0tail", 10));
    EXPECT_EQ(reg.nameOf(a), "short");
    EXPECT_EQ(reg.nameOf(b), "Phone");  // no record
    wifi(b, "10.0.0.2", 4699, "");
    EXPECT_EQ(reg.nameOf(b), "");
}

TEST_F(PhoneRegistryTest, PhoneInfoUpdatesItsOwnAndTheSessionsRecord) {
    wifi(a, "10.0.0.1", 4699, "old a");
    wifi(b, "10.0.0.2", 4699, "old b", 7);
    const PhoneId c = phoneId(3);
    wifi(c, "10.0.0.3", 4699, "old c");

    char field[256];
    std::memset(field, 'z', sizeof field);  // the phone sent no NUL
    reg.applyPhoneInfo(a, b, 2, field);
    EXPECT_EQ(reg.nameOf(a), std::string(255, 'z'));
    EXPECT_EQ(reg.nameOf(b), std::string(255, 'z'));
    EXPECT_EQ(record(a)->kind, 2u);
    EXPECT_EQ(record(b)->kind, 2u);
    EXPECT_EQ(reg.nameOf(c), "old c");
    EXPECT_EQ(record(c)->kind, 7u);
}

// ---- Losing paths and pruning -----------------------------------------------

TEST_F(PhoneRegistryTest, LosingTheNetworkHandleKeepsTheUsbFlag) {
    EXPECT_TRUE(reg.iosPhoneFound(a, 7, 10, true, "iPhone"));
    EXPECT_TRUE(reg.iosPhoneFound(a, 7, 11, false, ""));
    EXPECT_FALSE(reg.iosPhoneLost(11));
    EXPECT_EQ(record(a)->usbmuxNetworkHandle, 0u);
    EXPECT_TRUE(record(a)->usbFlag);
    EXPECT_EQ(record(a)->usbmuxUsbHandle, 10u);

    // The last path gone: the record is removed and the list changed.
    EXPECT_TRUE(reg.iosPhoneLost(10));
    EXPECT_FALSE(record(a).has_value());
}

TEST_F(PhoneRegistryTest, AndroidLossKeepsPhonesWithAnotherPath) {
    EXPECT_TRUE(reg.androidPhoneFound(a, 2, "Pixel", 6001));
    EXPECT_TRUE(reg.androidPhoneFound(b, 2, "Galaxy", 6002));
    wifi(b, "10.0.0.2");

    EXPECT_FALSE(reg.androidPhoneLost(b));
    EXPECT_FALSE(record(b)->usbFlag);
    EXPECT_EQ(record(b)->adb.sin_family, 0);
    EXPECT_TRUE(reg.androidPhoneLost(a));
    EXPECT_FALSE(record(a).has_value());
    EXPECT_FALSE(reg.prune());
}

// ---- Scores -----------------------------------------------------------------

TEST_F(PhoneRegistryTest, AFailedAttemptOnAStoredAddressClearsIt) {
    wifi(a, "10.0.0.1", 4699);
    wifi6(a, "fd00::1", 4699);
    const PeerAddress peer4 = peerOf(record(a)->ipv4);
    const PeerAddress peer6 = peerOf(record(a)->ipv6);

    EXPECT_TRUE(fail(a, peer4));  // state changed to Failed
    EXPECT_EQ(record(a)->ipv4.sin_family, 0);
    EXPECT_EQ(record(a)->ipv6.sin6_family, AF_INET6);
    EXPECT_EQ(record(a)->wifiScore, -1);
    EXPECT_EQ(record(a)->state, PhoneState::Failed);

    // The last address gone: the record is pruned and the host is told.
    EXPECT_TRUE(fail(a, peer6));
    EXPECT_FALSE(record(a).has_value());
}

TEST_F(PhoneRegistryTest, AFailedAttemptOnAStoredAddressBoundsTheScoreAtMinusTen) {
    wifi(a, "10.0.0.1");
    wifi6(a, "fd00::1");
    reg.withRecords([&](auto& records) { records[0]->wifiScore = -10; });
    fail(a, peerOf(record(a)->ipv4));
    EXPECT_EQ(record(a)->wifiScore, -10);
    EXPECT_EQ(record(a)->ipv6.sin6_family, AF_INET6);
}

TEST_F(PhoneRegistryTest, ElevenUnmatchedFailuresLowerTheScoreAndTheTwelfthClearsBothAddresses) {
    // A phone of kind 7 reached through its adb address: the peer matches
    // neither Wi-Fi address, so each failure costs a point without bound.
    EXPECT_TRUE(reg.androidPhoneFound(a, 7, "Phone", 6010));
    wifi(a, "10.0.0.1");
    wifi6(a, "fd00::1");
    const PeerAddress adbPeer = peerOf(record(a)->adb);

    for (int i = 0; i < 11; ++i) fail(a, adbPeer);
    EXPECT_EQ(record(a)->wifiScore, -11);
    EXPECT_EQ(record(a)->ipv4.sin_family, AF_INET);
    EXPECT_EQ(record(a)->ipv6.sin6_family, AF_INET6);
    EXPECT_EQ(record(a)->adb.sin_family, AF_INET);  // kind 7: adb is not cleared

    fail(a, adbPeer);
    EXPECT_EQ(record(a)->wifiScore, -12);
    EXPECT_EQ(record(a)->ipv4.sin_family, 0);
    EXPECT_EQ(record(a)->ipv6.sin6_family, 0);
    EXPECT_EQ(record(a)->adb.sin_family, AF_INET);
}

TEST_F(PhoneRegistryTest, AFailedAdbAttemptOfAnAndroidPhoneClearsOnlyTheAdbPath) {
    EXPECT_TRUE(reg.androidPhoneFound(a, 2, "Pixel", 6020));
    wifi(a, "10.0.0.1");
    const PeerAddress adbPeer = peerOf(record(a)->adb);
    fail(a, adbPeer);
    const PhoneRecord r = *record(a);
    EXPECT_FALSE(r.usbFlag);
    EXPECT_EQ(r.adb.sin_family, 0);
    EXPECT_EQ(r.ipv4.sin_family, AF_INET);
    EXPECT_EQ(r.wifiScore, 0);
    EXPECT_EQ(r.usbScore, 1);
}

TEST_F(PhoneRegistryTest, UsbFailuresLowerTheUsbScoreAndDropTheFlagBelowMinusTen) {
    EXPECT_TRUE(reg.iosPhoneFound(a, 7, 42, true, "iPhone"));
    for (int i = 0; i < 11; ++i) fail(a, PeerAddress{}, true);
    EXPECT_EQ(record(a)->usbScore, -11);
    EXPECT_TRUE(record(a)->usbFlag);
    fail(a, PeerAddress{}, true);
    EXPECT_EQ(record(a)->usbScore, -12);
    EXPECT_FALSE(record(a)->usbFlag);
    EXPECT_EQ(record(a)->usbmuxUsbHandle, 42u);  // the handle stays until usbmuxd loses it
    EXPECT_EQ(record(a)->wifiScore, 0);
}

TEST_F(PhoneRegistryTest, AnEmptyPeerNeverMatchesAnEmptyStoredAddress) {
    EXPECT_TRUE(reg.iosPhoneFound(a, 7, 42, false, "iPad"));
    fail(a, PeerAddress{});
    EXPECT_EQ(record(a)->wifiScore, -1);  // counted as an unmatched Wi-Fi attempt, not bounded
}

TEST_F(PhoneRegistryTest, SuccessResetsANegativeScoreAndOtherwiseAddsOne) {
    wifi(a, "10.0.0.1");
    const PeerAddress peer = peerOf(record(a)->ipv4);
    reg.withRecords([&](auto& records) { records[0]->wifiScore = -7; });
    stream(a, peer);
    EXPECT_EQ(record(a)->wifiScore, 0);
    stream(a, peer);
    stream(a, peer);
    EXPECT_EQ(record(a)->wifiScore, 2);
    EXPECT_EQ(record(a)->usbScore, 0);

    // A USB transport counts on the USB score.
    stream(a, PeerAddress{}, true);
    EXPECT_EQ(record(a)->usbScore, 1);
    EXPECT_EQ(record(a)->wifiScore, 2);
}

TEST_F(PhoneRegistryTest, AnAdbSuccessCountsOnUsbOnlyForAndroidPhones) {
    EXPECT_TRUE(reg.androidPhoneFound(a, 2, "Pixel", 6030));
    EXPECT_TRUE(reg.androidPhoneFound(b, 7, "Other", 6031));
    stream(a, peerOf(record(a)->adb));
    stream(b, peerOf(record(b)->adb));
    EXPECT_EQ(record(a)->usbScore, 2);
    EXPECT_EQ(record(a)->wifiScore, 0);
    EXPECT_EQ(record(b)->usbScore, 1);
    EXPECT_EQ(record(b)->wifiScore, 1);
}

// ---- States -----------------------------------------------------------------

TEST_F(PhoneRegistryTest, TheListChangesOnlyWhenAStateReallyChanges) {
    wifi(a, "10.0.0.1");
    const PeerAddress peer = peerOf(record(a)->ipv4);
    const TransportIdentity t{a, false, peer};

    EXPECT_FALSE(reg.setPhoneState(t, PhoneState::Connecting));  // never reported as a list change
    EXPECT_TRUE(reg.setPhoneState(t, PhoneState::Streaming));
    EXPECT_FALSE(reg.setPhoneState(t, PhoneState::Streaming));
    EXPECT_TRUE(reg.setPhoneState(t, PhoneState::PasscodeRequired));
    EXPECT_FALSE(reg.setPhoneState(t, PhoneState::PasscodeRequired));
    EXPECT_EQ(reg.getPhoneState(a), PhoneState::PasscodeRequired);
    EXPECT_TRUE(reg.setPhoneState(t, PhoneState::Idle));
    EXPECT_EQ(record(a)->ipv4.sin_family, AF_INET);  // only Failed touches paths
}

TEST_F(PhoneRegistryTest, AStateForAnUnknownPhoneChangesNothing) {
    wifi(a, "10.0.0.1");
    EXPECT_FALSE(reg.setPhoneState(TransportIdentity{b, false, PeerAddress{}}, PhoneState::Failed));
    EXPECT_EQ(reg.getPhoneState(b), PhoneState::Idle);
    EXPECT_EQ(size(), 1u);
    EXPECT_EQ(record(a)->wifiScore, 0);
}

}  // namespace
}  // namespace tavin
