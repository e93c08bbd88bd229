// Discovery without multicast: the DNS message codec, phone ids from
// instance names, announcement checks through a listener fed over loopback,
// address parsing and probing for added phones, and the DNS-SD library
// wrappers without their library.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "discovery/address_prober.h"
#include "discovery/dns_sd_library.h"
#include "discovery/mdns_client.h"
#include "discovery/mdns_message.h"
#include "discovery/multicast_listener.h"
#include "discovery/wifi_discovery.h"
#include "platform/byte_order.h"
#include "session/protocol.h"
#include "support/child_process.h"
#include "support/netns.h"
#include "support/recording_network_sink.h"

namespace tavin {
namespace {

using mdns::DnsName;
using mdns::Message;
using mdns::MessageWriter;
using mdns::Section;

DnsName name(const char* text) {
    DnsName n;
    EXPECT_TRUE(DnsName::fromText(text, n)) << text;
    return n;
}

// A header with the given counts, then `body`.
std::vector<std::uint8_t> packet(std::uint16_t qd, std::uint16_t an, std::vector<std::uint8_t> body,
                                 std::uint16_t flags = 0x8400) {
    std::vector<std::uint8_t> p = {0x12, 0x34, static_cast<std::uint8_t>(flags >> 8), static_cast<std::uint8_t>(flags),
                                   0, static_cast<std::uint8_t>(qd), 0, static_cast<std::uint8_t>(an), 0, 0, 0, 0};
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

bool parses(const std::vector<std::uint8_t>& p) {
    auto m = std::make_unique<Message>();
    return mdns::parseMessage(p.data(), p.size(), *m);
}

// --- DNS messages ---------------------------------------------------------

TEST(MdnsMessage, WrittenResponseReadsBack) {
    std::vector<std::uint8_t> buffer(1500);
    MessageWriter w(buffer.data(), buffer.size(), 0xBEEF, mdns::kFlagResponse | mdns::kFlagAuthoritative);
    const DnsName service = name("_tavinwebcam._tcp.local");
    const DnsName instance = name("00112233445566778899aabbccddeeff._tavinwebcam._tcp.local");
    const DnsName host = name("phone-00112233.local");
    const std::uint8_t v4[4] = {10, 1, 2, 3};
    std::uint8_t v6[16] = {0xfd, 0x77};
    v6[15] = 2;
    ASSERT_TRUE(w.addQuestion(service, mdns::kTypePtr));
    ASSERT_TRUE(w.addPtr(Section::Answer, service, 10, instance));
    ASSERT_TRUE(w.addSrv(Section::Additional, instance, 10, 4699, host, true));
    ASSERT_TRUE(w.addTxt(Section::Additional, instance, 10, {"a=1", "b"}));
    ASSERT_TRUE(w.addA(Section::Additional, host, 10, v4));
    ASSERT_TRUE(w.addAaaa(Section::Additional, host, 10, v6));
    const std::size_t size = w.finish();
    ASSERT_GT(size, 0u);

    auto m = std::make_unique<Message>();
    ASSERT_TRUE(mdns::parseMessage(buffer.data(), size, *m));
    EXPECT_EQ(m->id, 0xBEEF);
    EXPECT_TRUE(m->isResponse());
    EXPECT_TRUE(m->isPlain());
    ASSERT_EQ(m->questionCount, 1u);
    EXPECT_TRUE(m->questions[0].name.equals(service));
    ASSERT_EQ(m->recordCount, 5u);
    EXPECT_EQ(m->records[0].section, Section::Answer);
    EXPECT_TRUE(m->records[0].target.equals(instance));
    EXPECT_TRUE(m->records[0].target.isChildOf(service));
    EXPECT_EQ(m->records[1].section, Section::Additional);
    EXPECT_EQ(m->records[1].port, 4699);
    EXPECT_TRUE(m->records[1].cacheFlush);
    EXPECT_TRUE(m->records[1].target.equals(host));
    std::vector<std::string> txt;
    ASSERT_TRUE(mdns::parseTxtStrings(buffer.data() + m->records[2].dataOffset, m->records[2].dataLength, txt, 16));
    EXPECT_EQ(txt, (std::vector<std::string>{"a=1", "b"}));
    EXPECT_EQ(0, std::memcmp(m->records[3].address.data(), v4, 4));
    EXPECT_EQ(0, std::memcmp(m->records[4].address.data(), v6, 16));

    // Every cut of the message is refused, and nothing past the cut is read.
    for (std::size_t cut = 0; cut < size; ++cut) {
        std::vector<std::uint8_t> shorter(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_FALSE(parses(shorter)) << "cut at " << cut;
    }
}

TEST(MdnsMessage, WriterRefusesWhatDoesNotFit) {
    std::uint8_t small[40];
    MessageWriter w(small, sizeof small, 1, 0);
    EXPECT_TRUE(w.addQuestion(name("a.local"), mdns::kTypeA));
    EXPECT_FALSE(w.addQuestion(name("a-rather-long-label-that-does-not-fit.local"), mdns::kTypeA));
    EXPECT_FALSE(w.addQuestion(name("b.local"), mdns::kTypeA));  // failed once, failed for good
    EXPECT_EQ(w.finish(), 0u);
}

TEST(MdnsMessage, CompressionPointersMustPointBack) {
    // Question "a.local" at offset 12; the answer's name points back to it.
    std::vector<std::uint8_t> good = packet(
        1, 1, {1, 'a', 5, 'l', 'o', 'c', 'a', 'l', 0, 0, 1, 0, 1,
               0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 10, 0, 4, 10, 0, 0, 1});
    auto m = std::make_unique<Message>();
    ASSERT_TRUE(mdns::parseMessage(good.data(), good.size(), *m));
    EXPECT_TRUE(m->records[0].name.equals(name("a.local")));

    // A label followed by a pointer back into the middle of the same name:
    // "x" then a pointer to "local" of the question.
    std::vector<std::uint8_t> suffix = packet(
        1, 1, {1, 'a', 5, 'l', 'o', 'c', 'a', 'l', 0, 0, 1, 0, 1,
               1, 'x', 0xC0, 14, 0, 1, 0, 1, 0, 0, 0, 10, 0, 4, 10, 0, 0, 1});
    ASSERT_TRUE(mdns::parseMessage(suffix.data(), suffix.size(), *m));
    EXPECT_TRUE(m->records[0].name.equals(name("x.local")));

    // A pointer to itself.
    EXPECT_FALSE(parses(packet(1, 0, {0xC0, 12, 0, 1, 0, 1})));
    // A pointer forward, to a valid name after it.
    EXPECT_FALSE(parses(packet(1, 0, {0xC0, 18, 0, 1, 0, 1, 1, 'a', 0})));
    // Two names pointing at each other: 12 -> 20 is refused before the loop.
    EXPECT_FALSE(parses(packet(2, 0, {1, 'a', 0xC0, 20, 0, 1, 0, 1, 1, 'b', 0xC0, 12, 0, 1, 0, 1})));
    // A loop through a label back to the pointer that led there.
    EXPECT_FALSE(parses(packet(1, 0, {1, 'a', 0xC0, 12, 0, 1, 0, 1})));
    // A pointer cut in half by the end of the datagram.
    EXPECT_FALSE(parses(packet(1, 0, {0xC0})));
}

TEST(MdnsMessage, MalformedNamesAndRecordsAreRefused) {
    // Counts that promise more than the datagram holds.
    EXPECT_FALSE(parses(packet(1, 0, {})));
    EXPECT_FALSE(parses(packet(0, 200, {0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0})));
    EXPECT_FALSE(parses(packet(0, 65, std::vector<std::uint8_t>(65 * 11, 0))));  // more records than kept
    // The reserved label types 0x40 and 0x80.
    EXPECT_FALSE(parses(packet(1, 0, {0x41, 'a', 0, 0, 1, 0, 1})));
    EXPECT_FALSE(parses(packet(1, 0, {0x81, 'a', 0, 0, 1, 0, 1})));
    // A label that runs past the end.
    EXPECT_FALSE(parses(packet(1, 0, {10, 'a', 'b', 0, 0, 1, 0, 1})));
    // A name longer than 255 bytes: five labels of 63.
    std::vector<std::uint8_t> longName;
    for (int i = 0; i < 5; ++i) {
        longName.push_back(63);
        longName.insert(longName.end(), 63, 'x');
    }
    longName.insert(longName.end(), {0, 0, 1, 0, 1});
    EXPECT_FALSE(parses(packet(1, 0, longName)));
    // Record data that does not fit its type or the datagram.
    const std::vector<std::uint8_t> owner = {1, 'a', 0};
    auto record = [&](std::uint16_t type, std::vector<std::uint8_t> data, int declared = -1) {
        std::vector<std::uint8_t> body = owner;
        const std::size_t length = declared < 0 ? data.size() : static_cast<std::size_t>(declared);
        body.insert(body.end(), {static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 1, 0, 0, 0,
                                 10, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)});
        body.insert(body.end(), data.begin(), data.end());
        return packet(0, 1, body);
    };
    EXPECT_TRUE(parses(record(mdns::kTypeA, {1, 2, 3, 4})));
    EXPECT_FALSE(parses(record(mdns::kTypeA, {1, 2, 3, 4, 5})));
    EXPECT_FALSE(parses(record(mdns::kTypeAaaa, {1, 2, 3, 4})));
    EXPECT_FALSE(parses(record(mdns::kTypeA, {1, 2, 3, 4}, 40)));          // past the end
    EXPECT_FALSE(parses(record(mdns::kTypePtr, {1, 'b', 0, 7})));           // name leaves bytes over
    EXPECT_FALSE(parses(record(mdns::kTypePtr, {1, 'b', 0}, 2)));           // name leaves the data
    EXPECT_FALSE(parses(record(mdns::kTypeSrv, {0, 0, 0, 0, 0x12})));       // no host
    EXPECT_FALSE(parses(record(mdns::kTypeTxt, {5, 'a', 'b'})));            // string past the data
    EXPECT_TRUE(parses(record(99, {0xFF, 0xFF, 0xFF})));                     // unknown types are skipped
}

TEST(MdnsMessage, RandomDamageIsRefusedOrReadWithinBounds) {
    std::vector<std::uint8_t> buffer(600);
    MessageWriter w(buffer.data(), buffer.size(), 7, mdns::kFlagResponse);
    const DnsName service = name("_tavinwebcam._tcp.local");
    const DnsName instance = name("0123456789abcdef0123456789abcdef._tavinwebcam._tcp.local");
    w.addPtr(Section::Answer, service, 10, instance);
    w.addSrv(Section::Answer, instance, 10, 1, name("h.local"));
    buffer.resize(w.finish());
    ASSERT_FALSE(buffer.empty());
    std::mt19937 random(12345);
    auto m = std::make_unique<Message>();
    for (int round = 0; round < 20000; ++round) {
        std::vector<std::uint8_t> damaged = buffer;
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int f = 0; f < flips; ++f) damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
        damaged.resize(random() % (damaged.size() + 1));
        if (!mdns::parseMessage(damaged.data(), damaged.size(), *m)) continue;
        // Whatever was accepted lies inside the datagram.
        for (std::size_t i = 0; i < m->recordCount; ++i) {
            ASSERT_LE(m->records[i].dataOffset + m->records[i].dataLength, damaged.size());
            ASSERT_LE(m->records[i].name.wireSize(), mdns::kMaxNameWire);
        }
    }
}

TEST(MdnsMessage, NamesFromTextAndBack) {
    DnsName n;
    ASSERT_TRUE(DnsName::fromText("My\\.Phone.Local.", n));
    EXPECT_EQ(n.firstLabel(), "My.Phone");
    EXPECT_EQ(n.toText(), "My\\.Phone.Local");
    EXPECT_TRUE(n.equals(name("my\\.phone.local")));
    ASSERT_TRUE(DnsName::fromText("a\\032b.local", n));
    EXPECT_EQ(n.firstLabel(), "a b");
    EXPECT_EQ(n.toText(), "a\\032b.local");
    EXPECT_FALSE(DnsName::fromText("", n));
    EXPECT_FALSE(DnsName::fromText("a..local", n));
    EXPECT_FALSE(DnsName::fromText("a\\99", n));
    EXPECT_FALSE(DnsName::fromText("a\\999.local", n));
    EXPECT_FALSE(DnsName::fromText(std::string(64, 'x') + ".local", n));
    EXPECT_TRUE(DnsName::fromText(std::string(63, 'x') + ".local", n));
    EXPECT_FALSE(name("x.y._tavinwebcam._tcp.local").isChildOf(name("_tavinwebcam._tcp.local")));
    EXPECT_FALSE(name("_tavinwebcam._tcp.local").isChildOf(name("_tavinwebcam._tcp.local")));
}

// --- phone ids from instance names -------------------------------------

TEST(PhoneIdFromName, PairsReadByStrtoulRules) {
    const PhoneId hex = phoneIdFromInstanceName("00112233445566778899AaBbCcDdEeFf._tavinwebcam._tcp.local.");
    EXPECT_EQ(hex, (PhoneId{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd,
                            0xee, 0xff}));
    // "3z" stops at the z, "zz" is no number, " 7" skips the space, "-1"
    // wraps and is cut to 8 bits.
    const PhoneId odd = phoneIdFromInstanceName("3zzz 7-10x0000000000000000000000");
    EXPECT_EQ(odd[0], 3);
    EXPECT_EQ(odd[1], 0);
    EXPECT_EQ(odd[2], 7);
    EXPECT_EQ(odd[3], 0xFF);
    EXPECT_EQ(odd[4], 0);
    EXPECT_EQ(odd[15], 0);
}

// --- announcements ---------------------------------------------------------

class AnnouncementTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
        receiver_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sender_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(receiver_, 0);
        ASSERT_GE(sender_, 0);
        sockaddr_in loop{};
        loop.sin_family = AF_INET;
        loop.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(0, bind(receiver_, reinterpret_cast<sockaddr*>(&loop), sizeof loop));
        ASSERT_EQ(0, bind(sender_, reinterpret_cast<sockaddr*>(&loop), sizeof loop));
        socklen_t length = sizeof to_;
        ASSERT_EQ(0, getsockname(receiver_, reinterpret_cast<sockaddr*>(&to_), &length));
        length = sizeof from_;
        ASSERT_EQ(0, getsockname(sender_, reinterpret_cast<sockaddr*>(&from_), &length));
        listener_ = MulticastListener::adopt(receiver_, true);
        ASSERT_TRUE(listener_);
        running_.store(true);
    }
    void TearDown() override {
        listener_.reset();  // closes the receiver
        if (sender_ >= 0) close(sender_);
    }

    void send(const std::vector<std::uint8_t>& datagram) {
        ASSERT_EQ(static_cast<ssize_t>(datagram.size()),
                  sendto(sender_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to_), sizeof to_));
    }
    static std::vector<std::uint8_t> info(std::uint8_t firstIdByte, std::string_view name = "Phone") {
        PhoneId id{};
        id[0] = firstIdByte;
        auto a = protocol::buildPhoneInfo(id, 2, name);
        return std::vector<std::uint8_t>(a.begin(), a.end());
    }
    int pass() { return listener_->receive(sink_, running_); }

    test::TempDir config_;
    int receiver_ = -1, sender_ = -1;
    sockaddr_in to_{}, from_{};
    std::unique_ptr<MulticastListener> listener_;
    std::atomic<bool> running_{false};
    test::RecordingNetworkSink sink_;
};

TEST_F(AnnouncementTest, ValidAnnouncementReportsSenderAndSessionPort) {
    send(info(0x42, "Kitchen"));
    EXPECT_EQ(pass(), 1);
    auto reports = sink_.reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].id[0], 0x42);
    EXPECT_EQ(reports[0].kind, 2);
    EXPECT_EQ(reports[0].name, "Kitchen");
    EXPECT_EQ(reports[0].family(), AF_INET);
    EXPECT_EQ(reports[0].addressText(), "127.0.0.1");
    // The datagram's own source port stays in the address; the session
    // port is the argument.
    EXPECT_EQ(reports[0].addressPort(), ntohs(from_.sin_port));
    EXPECT_EQ(reports[0].portBe, htons(4699));
}

TEST_F(AnnouncementTest, InvalidDatagramsAreDroppedAndCount) {
    std::vector<std::uint8_t> type2 = info(1);
    writeLe32(type2.data(), protocol::makeHeader(2, 280));
    std::vector<std::uint8_t> declaredShort = info(2);
    writeLe32(declaredShort.data(), protocol::makeHeader(1, 279));
    std::vector<std::uint8_t> declaredLong = info(3);
    writeLe32(declaredLong.data(), protocol::makeHeader(1, 561));
    std::vector<std::uint8_t> longest = info(4);
    longest.resize(560, 0);
    writeLe32(longest.data(), protocol::makeHeader(1, 560));
    send(type2);
    send(declaredShort);
    send(declaredLong);
    send(longest);
    EXPECT_EQ(pass(), 1);
    auto reports = sink_.reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].id[0], 4);
}

TEST_F(AnnouncementTest, ShortOrOversizedDatagramEndsThePass) {
    std::vector<std::uint8_t> shortOne = info(1);
    shortOne.resize(279);
    send(shortOne);
    send(info(2));
    EXPECT_EQ(pass(), 0);  // the short one ends this pass
    EXPECT_EQ(pass(), 1);  // the valid one waited
    std::vector<std::uint8_t> oversized = info(3);
    oversized.resize(561, 0);
    send(oversized);
    send(info(4));
    EXPECT_EQ(pass(), 0);
    EXPECT_EQ(pass(), 1);
    auto reports = sink_.reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].id[0], 2);
    EXPECT_EQ(reports[1].id[0], 4);
}

TEST_F(AnnouncementTest, AtMostTwentyPerPassAndNameBoundedToItsField) {
    for (int i = 0; i < 25; ++i) {
        std::vector<std::uint8_t> d = info(static_cast<std::uint8_t>(i));
        if (i == 24) std::memset(d.data() + protocol::phone_info::kName, 'n', protocol::phone_info::kNameSize);
        send(d);
    }
    EXPECT_EQ(pass(), 20);
    EXPECT_EQ(pass(), 5);
    auto reports = sink_.reports();
    ASSERT_EQ(reports.size(), 25u);
    EXPECT_EQ(reports[24].name, std::string(256, 'n'));

    // Nothing is reported once running is cleared.
    send(info(99));
    running_.store(false);
    EXPECT_EQ(pass(), 0);
}

TEST(Announcement, ReadAnnouncementBounds) {
    protocol::PhoneInfoFields f;
    auto a = protocol::buildPhoneInfo(PhoneId{}, 7, "x");
    EXPECT_TRUE(readAnnouncement(a.data(), a.size(), f));
    EXPECT_FALSE(readAnnouncement(a.data(), 279, f));
    EXPECT_FALSE(readAnnouncement(nullptr, 280, f));
    std::vector<std::uint8_t> big(561, 0);
    std::memcpy(big.data(), a.data(), a.size());
    EXPECT_FALSE(readAnnouncement(big.data(), big.size(), f));
}

// --- addresses added by hand ------------------------------------------

TEST(PhoneAddress, ParsesTheAcceptedForms) {
    ParsedPhoneAddress p;
    ASSERT_TRUE(parsePhoneAddress("192.168.1.20", p));
    EXPECT_EQ(p, (ParsedPhoneAddress{"192.168.1.20", 4699}));
    ASSERT_TRUE(parsePhoneAddress("127.0.0.1:5000", p));
    EXPECT_EQ(p, (ParsedPhoneAddress{"127.0.0.1", 5000}));
    ASSERT_TRUE(parsePhoneAddress("[::1]:65535", p));
    EXPECT_EQ(p, (ParsedPhoneAddress{"::1", 65535}));
    ASSERT_TRUE(parsePhoneAddress("[fe80::1%eth0]", p));
    EXPECT_EQ(p, (ParsedPhoneAddress{"fe80::1%eth0", 4699}));
    ASSERT_TRUE(parsePhoneAddress("fe80::1", p));
    EXPECT_EQ(p, (ParsedPhoneAddress{"fe80::1", 4699}));
    ASSERT_TRUE(parsePhoneAddress("phone.local:4700", p));
    EXPECT_EQ(p, (ParsedPhoneAddress{"phone.local", 4700}));
    ASSERT_TRUE(parsePhoneAddress("my-phone_2", p));
    EXPECT_EQ(p.host, "my-phone_2");
}

TEST(PhoneAddress, RefusesEverythingElse) {
    ParsedPhoneAddress p;
    for (const char* bad : {"", ":4699", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:+1",
                            "127.0.0.1:12a", "[::1", "[::1]4699", "[::1]:", "[nonsense]", "[fe80::1%]",
                            "[fe80::1%a b]", "999.1.1.1", "1.2.3", "host name", "-phone", "phone-", "a..b",
                            "phone.local:123456", "[192.168.1.1]"}) {
        EXPECT_FALSE(parsePhoneAddress(bad, p)) << bad;
    }
    EXPECT_FALSE(parsePhoneAddress(std::string(256, 'a'), p));
    EXPECT_FALSE(parsePhoneAddress(std::string(64, 'a') + ".local", p));
    // A NUL would end the text early for the literal checks.
    EXPECT_FALSE(parsePhoneAddress(std::string("2::\0\0", 5), p));
    EXPECT_FALSE(parsePhoneAddress(std::string("10.0.0.1\0x", 10), p));
}

TEST(AddressProberTest, KeepsABoundedListAndRefusesBadInput) {
    AddressProber prober;
    EXPECT_EQ(prober.add(nullptr), -1);
    EXPECT_EQ(prober.add("not an address"), -1);
    std::string huge(100000, 'a');
    EXPECT_EQ(prober.add(huge.c_str()), -1);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(prober.add(("127.0.9." + std::to_string(i)).c_str()), 0);
    EXPECT_EQ(prober.addressCount(), kMaxProbedAddresses);
    const std::size_t before = prober.addressCount();
    EXPECT_EQ(prober.add("127.0.9.19"), 0);  // known: probed again, not added twice
    EXPECT_EQ(prober.addressCount(), before);
}

// The simulator on loopback, found by its session port after the probe
// port (nothing listens on 4697 in the test's own namespace) refused.
TEST(AddressProberTest, FindsThePhoneSimulatorOnLoopback) {
    test::TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    std::string why;
    if (!test::enterPrivateNetwork(&why))
        std::cerr << "note: probing on the machine's own loopback (" << why << ")\n";
    test::ChildProcess phone({test::toolPath("phone"), "--bind", "127.0.0.1", "--session-port", "0", "--probe-port",
                              "0", "--id", "a1b2c3d4e5f60718293a4b5c6d7e8f90", "--name", "Probe Phone", "--kind", "2",
                              "--no-log"});
    auto line = phone.waitForLine("phone: listening", std::chrono::seconds(20));
    ASSERT_TRUE(line) << "the simulator did not start";
    std::istringstream fields(line->substr(line->find("listening") + 9));
    std::string address;
    unsigned session = 0, probe = 0;
    fields >> address >> session >> probe;
    ASSERT_GT(session, 0u);

    test::RecordingNetworkSink sink;
    AddressProber prober;
    ASSERT_EQ(prober.add(("127.0.0.1:" + std::to_string(session)).c_str()), 0);
    prober.SetSink(&sink);
    const std::uint16_t sessionBe = htons(static_cast<std::uint16_t>(session));
    auto ours = [sessionBe](const test::NetworkReport& r) { return r.id[0] == 0xa1 && r.portBe == sessionBe; };
    const bool found = sink.waitFor(
        [&](const std::vector<test::NetworkReport>& all) { return std::any_of(all.begin(), all.end(), ours); },
        std::chrono::seconds(60));
    prober.SetSink(nullptr);
    ASSERT_TRUE(found);
    auto reports = sink.reports();
    const test::NetworkReport& r = *std::find_if(reports.begin(), reports.end(), ours);
    EXPECT_EQ(r.id[15], 0x90);
    EXPECT_EQ(r.kind, 2);
    EXPECT_EQ(r.name, "Probe Phone");
    EXPECT_EQ(r.family(), AF_INET);
    EXPECT_EQ(r.addressText(), "127.0.0.1");
}

// --- the DNS-SD library wrappers ------------------------------------------

void neverCalledBrowse(dnssd::ServiceRef, std::uint32_t, std::uint32_t, std::int32_t, const char*, const char*,
                       const char*, void*) {
    ADD_FAILURE() << "a callback without a library";
}
void neverCalledResolve(dnssd::ServiceRef, std::uint32_t, std::uint32_t, std::int32_t, const char*, const char*,
                        std::uint16_t, std::uint16_t, const unsigned char*, void*) {}
void neverCalledAddress(dnssd::ServiceRef, std::uint32_t, std::uint32_t, std::int32_t, const char*,
                        const sockaddr*, std::uint32_t, void*) {}

TEST(DnsSdLibrary, WrappersWithoutTheLibrary) {
    // Nothing holds the library here.
    ASSERT_FALSE(dnssd::libraryLoaded());
    dnssd::ServiceRef ref = nullptr;
    EXPECT_EQ(dnssd::browse(&ref, 0, 0, kServiceType, nullptr, neverCalledBrowse, nullptr),
              dnssd::kServiceNotRunning);
    EXPECT_EQ(dnssd::resolve(&ref, 0, 0, "x", kServiceType, "local.", neverCalledResolve, nullptr),
              dnssd::kServiceNotRunning);
    EXPECT_EQ(dnssd::getAddrInfo(&ref, 0, 0, 0, "h.local.", neverCalledAddress, nullptr), dnssd::kServiceNotRunning);
    EXPECT_EQ(dnssd::processResult(ref), dnssd::kServiceNotRunning);
    EXPECT_EQ(dnssd::refSockFD(ref), -1);
    dnssd::refDeallocate(ref);  // does nothing
    EXPECT_EQ(ref, nullptr);
}

TEST(DnsSdLibrary, LoadedWhileUsed) {
    {
        dnssd::LibraryUse outer;
        const bool loaded = dnssd::libraryLoaded();
        if (!loaded) GTEST_SKIP() << "libdns_sd.so.1 is not installed";
        {
            dnssd::LibraryUse inner;
        }
        EXPECT_TRUE(dnssd::libraryLoaded());  // the outer use still holds it
    }
    EXPECT_FALSE(dnssd::libraryLoaded());
}

// --- the own client's requests -------------------------------------------

void noBrowse(std::uint32_t, void*, const mdns::BrowseRecord*) {}

TEST(MdnsClientRequests, MalformedRequestsAreRefusedWithoutSending) {
    auto client = mdns::MdnsClient::open();
    ASSERT_TRUE(client);
    mdns::CancelHandle handle;
    mdns::BrowseRequest request;
    request.queryName = "_tavinwebcam._tcp.local";
    request.callback = noBrowse;
    request.version = 2;
    EXPECT_EQ(client->browse(request, &handle), mdns::kStatusInvalidParameter);
    request.version = 1;
    request.callback = nullptr;
    EXPECT_EQ(client->browse(request, &handle), mdns::kStatusInvalidParameter);
    request.callback = noBrowse;
    request.queryName = "a..b";
    EXPECT_EQ(client->browse(request, &handle), mdns::kStatusInvalidParameter);
    EXPECT_EQ(client->browse(request, nullptr), mdns::kStatusInvalidParameter);
    EXPECT_EQ(handle.id, 0u);
    mdns::CancelHandle unknown{12345};
    EXPECT_EQ(client->browseCancel(&unknown), mdns::kStatusInvalidParameter);
    EXPECT_EQ(client->resolveCancel(nullptr), mdns::kStatusInvalidParameter);
}

}  // namespace
}  // namespace tavin
