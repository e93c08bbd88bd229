// Discovery over real multicast, inside network namespaces made by the test:
// the test moves itself into a fresh namespace and joins a second one, where
// the phone simulator runs, by a veth pair. Nothing here reaches an
// interface of the machine. Every test skips, with the reason, where
// namespaces cannot be made (not root).
#include <arpa/inet.h>
#include <dlfcn.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "discovery/dns_sd_library.h"
#include "discovery/mdns_client.h"
#include "discovery/mdns_message.h"
#include "discovery/wifi_discovery.h"
#include "support/child_process.h"
#include "support/netns.h"
#include "support/recording_network_sink.h"

namespace tavin {
namespace {

using namespace std::chrono_literals;
using test::NetworkReport;

constexpr const char* kPhoneIdText = "5e6f708192a3b4c5d6e7f8091a2b3c4d";
constexpr std::uint8_t kPhoneIdFirst = 0x5e, kPhoneIdLast = 0x4d;

bool writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out);
}

// The system bus of this test program: a private dbus-daemon reachable only
// through its socket file. The D-Bus library reads the bus address once per
// process, so every test uses this one bus from the start: without an
// Avahi daemon on it libdns_sd fails at once (and the engine's own client
// runs); the Avahi test starts a daemon on it. Without dbus-daemon the
// address names a socket that does not exist.
class PrivateBus {
public:
    static PrivateBus& instance() {
        static PrivateBus bus;
        return bus;
    }
    bool running() const { return daemon_ != nullptr; }
    const std::string& socketPath() const { return socket_; }
    std::string addressVariable() const { return "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + socket_; }

private:
    PrivateBus() {
        socket_ = dir_.path() + "/system_bus_socket";
        setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + socket_).c_str(), 1);
        const char* dbus = "/usr/bin/dbus-daemon";
        if (access(dbus, X_OK) != 0) return;
        const std::string config = dir_.path() + "/bus.conf";
        if (!writeText(config, "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                               "<busconfig>\n"
                               "  <type>system</type>\n"
                               "  <listen>unix:path=" + socket_ + "</listen>\n"
                               "  <auth>EXTERNAL</auth>\n"
                               "  <policy context=\"default\">\n"
                               "    <allow user=\"*\"/>\n"
                               "    <allow own=\"*\"/>\n"
                               "    <allow send_destination=\"*\"/>\n"
                               "    <allow receive_sender=\"*\"/>\n"
                               "  </policy>\n"
                               "</busconfig>\n"))
            return;
        auto daemon = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{dbus, "--config-file=" + config, "--nofork", "--nopidfile", "--print-address"});
        if (daemon->waitForLine("unix:", 10s)) daemon_ = std::move(daemon);
    }

    test::TempDir dir_;
    std::string socket_;
    std::unique_ptr<test::ChildProcess> daemon_;
};

class NamespaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = test::namespaceUnavailableReason();
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(test::enterPrivateNetwork(&why)) << why;
        peer_ = test::PeerNamespace::create(test::PeerNamespace::Config{}, &why);
        ASSERT_TRUE(peer_) << why;
        setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
        PrivateBus::instance();
    }
    void TearDown() override {
        discovery_.SetSink(nullptr);
        phone_.reset();
        peer_.reset();
    }

    // Starts the simulator inside the peer namespace; returns its session port.
    unsigned startPhone(std::vector<std::string> extra, const char* waitFor = nullptr) {
        std::vector<std::string> argv = {test::toolPath("phone"), "--session-port", "0", "--probe-port", "0",
                                         "--id", kPhoneIdText, "--no-log"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        phone_ = std::make_unique<test::ChildProcess>(peer_->command(argv));
        auto line = phone_->waitForLine("phone: listening", 20s);
        if (!line) {
            ADD_FAILURE() << "the simulator did not start";
            for (auto& l : phone_->lines()) ADD_FAILURE() << l;
            return 0;
        }
        if (waitFor != nullptr) {
            EXPECT_TRUE(phone_->waitForLine(waitFor, 10s)) << waitFor;
        }
        std::istringstream fields(line->substr(line->find("listening") + 9));
        std::string address;
        unsigned session = 0;
        fields >> address >> session;
        return session;
    }

    static bool isOurs(const NetworkReport& r) { return r.id[0] == kPhoneIdFirst && r.id[15] == kPhoneIdLast; }
    unsigned localIndex() const { return if_nametoindex(peer_->config().localName.c_str()); }

    test::TempDir config_;
    std::unique_ptr<test::PeerNamespace> peer_;
    std::unique_ptr<test::ChildProcess> phone_;
    test::RecordingNetworkSink sink_;
    dnssd::LibraryUse dnsSd_;  // as engine instance 0 holds it
    WifiDiscovery discovery_;
};

TEST_F(NamespaceTest, MulticastAnnouncementsRegisterThePhone) {
    const std::string peerIf = peer_->config().peerName;
    ASSERT_GT(startPhone({"--bind", "0.0.0.0", "--kind", "2", "--name", "Netns Phone", "--announce",
                          "239.255.188.58", "--announce", "[ff02::2:d644]", "--announce-interface", peerIf,
                          "--announce-interval", "200"},
                         "announce:"),
              0u);
    discovery_.SetSink(&sink_);
    auto hasFamily = [](int family) {
        return [family](const std::vector<NetworkReport>& all) {
            return std::any_of(all.begin(), all.end(),
                               [family](const NetworkReport& r) { return isOurs(r) && r.family() == family; });
        };
    };
    ASSERT_TRUE(sink_.waitFor(hasFamily(AF_INET), 30s));
    ASSERT_TRUE(sink_.waitFor(hasFamily(AF_INET6), 30s));
    discovery_.SetSink(nullptr);

    for (const NetworkReport& r : sink_.reports()) {
        ASSERT_TRUE(isOurs(r));
        EXPECT_EQ(r.kind, 2);
        EXPECT_EQ(r.name, "Netns Phone");
        EXPECT_EQ(r.portBe, htons(4699));
        if (r.family() == AF_INET) {
            EXPECT_EQ(r.addressText(), test::PeerNamespace::addressOf(peer_->config().peerIpv4));
        } else {
            sockaddr_in6 a;
            std::memcpy(&a, &r.address, sizeof a);
            if (IN6_IS_ADDR_LINKLOCAL(&a.sin6_addr)) {
                EXPECT_EQ(r.scopeId(), localIndex());
            }
        }
    }
}

TEST_F(NamespaceTest, OwnClientResolvesADualStackPhoneIpv4First) {
    const unsigned session = startPhone({"--bind", "::", "--mdns", peer_->config().peerName}, "mdns:");
    ASSERT_GT(session, 0u);
    discovery_.SetSink(&sink_);
    ASSERT_TRUE(sink_.waitForCount(2, 30s));
    discovery_.SetSink(nullptr);
    auto reports = sink_.reports();
    ASSERT_GE(reports.size(), 2u);
    // One resolution gives the IPv4 address, then the IPv6 address.
    EXPECT_EQ(reports[0].family(), AF_INET);
    EXPECT_EQ(reports[1].family(), AF_INET6);
    EXPECT_EQ(reports[0].addressText(), test::PeerNamespace::addressOf(peer_->config().peerIpv4));
    for (const NetworkReport& r : reports) {
        EXPECT_TRUE(isOurs(r));
        EXPECT_EQ(r.kind, kDnsSdPhoneKind);
        EXPECT_EQ(r.name, "");
        EXPECT_EQ(r.portBe, htons(static_cast<std::uint16_t>(session)));
        EXPECT_EQ(r.addressPort(), session);  // the own client's addresses carry the port
    }
    sockaddr_in6 v6;
    std::memcpy(&v6, &reports[1].address, sizeof v6);
    if (IN6_IS_ADDR_LINKLOCAL(&v6.sin6_addr)) {
        EXPECT_EQ(reports[1].scopeId(), localIndex());
    }
}

TEST_F(NamespaceTest, OwnClientResolvesAnIpv6OnlyPhone) {
    const std::string peerV6 = test::PeerNamespace::addressOf(peer_->config().peerIpv6);
    const unsigned session = startPhone({"--bind", peerV6, "--mdns", peer_->config().peerName}, "mdns:");
    ASSERT_GT(session, 0u);
    discovery_.SetSink(&sink_);
    ASSERT_TRUE(sink_.waitForCount(1, 30s));
    discovery_.SetSink(nullptr);
    auto reports = sink_.reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(isOurs(reports[0]));
    EXPECT_EQ(reports[0].family(), AF_INET6);
    EXPECT_EQ(reports[0].addressText(), peerV6);
    EXPECT_EQ(reports[0].scopeId(), 0u);  // a global address needs no interface
    EXPECT_EQ(reports[0].portBe, htons(static_cast<std::uint16_t>(session)));
}

// --- the own client against a scripted responder ---------------------------

// A responder in the test's own namespace: multicast queries the client
// sends on the veth come back to it through multicast loopback. `script`
// answers each query it receives.
class ScriptedResponder {
public:
    using Script = std::function<void(ScriptedResponder&, const mdns::Message& query, const sockaddr_in& from)>;

    ScriptedResponder(const std::string& interfaceName, Script script) : script_(std::move(script)) {
        socket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        other_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(mdns::kPort);
        ok_ = bind(socket_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ip_mreqn m{};
        inet_pton(AF_INET, "224.0.0.251", &m.imr_multiaddr);
        m.imr_ifindex = static_cast<int>(if_nametoindex(interfaceName.c_str()));
        ok_ = ok_ && setsockopt(socket_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0;
        timeval tv{0, 100000};
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        running_.store(ok_);
        if (ok_) thread_ = std::thread([this] { run(); });
    }
    ~ScriptedResponder() {
        running_.store(false);
        if (thread_.joinable()) thread_.join();
        close(socket_);
        close(other_);
    }
    bool ok() const { return ok_; }

    // Sends from port 5353, or from another port.
    void reply(const sockaddr_in& to, const std::vector<std::uint8_t>& bytes, bool fromMdnsPort = true) {
        sendto(fromMdnsPort ? socket_ : other_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
    }
    int queriesOf(std::uint16_t type) {
        std::lock_guard<std::mutex> guard(lock_);
        return static_cast<int>(std::count(types_.begin(), types_.end(), type));
    }

private:
    void run() {
        std::vector<std::uint8_t> buffer(9000);
        auto m = std::make_unique<mdns::Message>();
        while (running_.load()) {
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(socket_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                                       &length);
            if (n <= 0 || !mdns::parseMessage(buffer.data(), static_cast<std::size_t>(n), *m) || m->isResponse())
                continue;
            {
                std::lock_guard<std::mutex> guard(lock_);
                for (std::size_t i = 0; i < m->questionCount; ++i) types_.push_back(m->questions[i].type);
            }
            script_(*this, *m, from);
        }
    }

    Script script_;
    int socket_ = -1, other_ = -1;
    bool ok_ = false;
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::mutex lock_;
    std::vector<std::uint16_t> types_;
};

mdns::DnsName dnsName(const std::string& text) {
    mdns::DnsName n;
    EXPECT_TRUE(mdns::DnsName::fromText(text, n)) << text;
    return n;
}

const mdns::DnsName& serviceName() {
    static const mdns::DnsName n = dnsName(kServiceQueryName);
    return n;
}

std::string instanceText(char fill) { return std::string(32, fill) + "." + kServiceQueryName; }

// A response carrying one PTR record of the service type.
std::vector<std::uint8_t> ptrResponse(std::uint16_t id, const mdns::DnsName& owner, const mdns::DnsName& target,
                                      mdns::Section section = mdns::Section::Answer,
                                      std::uint16_t flags = mdns::kFlagResponse | mdns::kFlagAuthoritative) {
    std::vector<std::uint8_t> b(512);
    mdns::MessageWriter w(b.data(), b.size(), id, flags);
    w.addPtr(section, owner, 10, target);
    b.resize(w.finish());
    return b;
}

struct Browsed {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> names;
};

void recordBrowse(std::uint32_t status, void* context, const mdns::BrowseRecord* records) {
    auto* b = static_cast<Browsed*>(context);
    std::lock_guard<std::mutex> guard(b->lock);
    if (status != mdns::kStatusSuccess) b->names.push_back("status " + std::to_string(status));
    for (const mdns::BrowseRecord* r = records; r != nullptr; r = r->next) b->names.push_back(r->name);
    b->changed.notify_all();
}

// Starts a browse for the phones' service that records into `browsed`.
std::uint32_t startBrowse(mdns::MdnsClient& client, Browsed& browsed, mdns::CancelHandle* handle) {
    mdns::BrowseRequest browse;
    browse.queryName = kServiceQueryName;
    browse.callback = recordBrowse;
    browse.queryContext = &browsed;
    return client.browse(browse, handle);
}

struct Resolved {
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;
    std::uint32_t status = 0;
    std::optional<mdns::ServiceInstance> instance;
};

void recordResolve(std::uint32_t status, void* context, const mdns::ServiceInstance* instance) {
    auto* r = static_cast<Resolved*>(context);
    std::lock_guard<std::mutex> guard(r->lock);
    r->done = true;
    r->status = status;
    if (instance != nullptr) r->instance = *instance;
    r->changed.notify_all();
}

TEST_F(NamespaceTest, OwnClientTakesOnlyAnswersToWhatItAsked) {
    const mdns::DnsName good = dnsName(instanceText('a'));
    const mdns::DnsName host = dnsName("good-host.local");
    ScriptedResponder responder(peer_->config().localName, [&](ScriptedResponder& r, const mdns::Message& q,
                                                               const sockaddr_in& from) {
        const mdns::Question& question = q.questions[0];
        if (question.type == mdns::kTypePtr && question.name.equals(serviceName())) {
            const std::uint16_t flags = mdns::kFlagResponse | mdns::kFlagAuthoritative;
            r.reply(from, ptrResponse(static_cast<std::uint16_t>(q.id + 1), serviceName(), dnsName(instanceText('1'))));
            r.reply(from, ptrResponse(q.id, dnsName("_other._tcp.local"), dnsName(std::string(32, '2') + "._other._tcp.local")));
            r.reply(from, ptrResponse(q.id, serviceName(), dnsName(std::string(32, '3') + ".elsewhere.local")));
            r.reply(from, ptrResponse(q.id, serviceName(), dnsName(instanceText('4')), mdns::Section::Additional));
            r.reply(from, ptrResponse(q.id, serviceName(), dnsName(instanceText('5')), mdns::Section::Answer, 0));
            r.reply(from, ptrResponse(q.id, serviceName(), dnsName(instanceText('6'))), false);
            std::vector<std::uint8_t> cut = ptrResponse(q.id, serviceName(), dnsName(instanceText('7')));
            cut[7] = 2;  // promises a second answer that is not there
            r.reply(from, cut);
            std::vector<std::uint8_t> chaos = ptrResponse(q.id, serviceName(), dnsName(instanceText('8')));
            chaos[12 + serviceName().wireSize() + 3] = 3;  // class CH instead of IN
            r.reply(from, chaos);
            std::vector<std::uint8_t> refused = ptrResponse(q.id, serviceName(), dnsName(instanceText('9')), mdns::Section::Answer, flags | 3);
            r.reply(from, refused);
            r.reply(from, ptrResponse(q.id, serviceName(), good));
        } else if (question.type == mdns::kTypeSrv) {
            std::vector<std::uint8_t> b(512);
            mdns::MessageWriter w(b.data(), b.size(), q.id, mdns::kFlagResponse);
            w.addSrv(mdns::Section::Answer, dnsName(instanceText('b')), 10, 1111, dnsName("wrong-host.local"));
            w.addSrv(mdns::Section::Answer, good, 10, 4321, host);
            const std::uint8_t extra[4] = {10, 9, 9, 9};
            w.addA(mdns::Section::Additional, host, 10, extra);
            b.resize(w.finish());
            r.reply(from, b);
        } else if (question.type == mdns::kTypeA || question.type == mdns::kTypeAaaa) {
            std::vector<std::uint8_t> b(512);
            mdns::MessageWriter w(b.data(), b.size(), q.id, mdns::kFlagResponse);
            const std::uint8_t other[4] = {10, 8, 8, 8}, v4[4] = {10, 77, 0, 50};
            std::uint8_t v6[16] = {0xfd, 0x77};
            v6[15] = 0x50;
            w.addA(mdns::Section::Answer, dnsName("other-host.local"), 10, other);
            w.addA(mdns::Section::Answer, host, 10, v4);
            w.addAaaa(mdns::Section::Answer, host, 10, v6);
            b.resize(w.finish());
            r.reply(from, b);
        }
    });
    ASSERT_TRUE(responder.ok());

    auto client = mdns::MdnsClient::open();
    ASSERT_TRUE(client);
    Browsed browsed;
    mdns::CancelHandle browseHandle;
    ASSERT_EQ(startBrowse(*client, browsed, &browseHandle), mdns::kStatusRequestPending);
    {
        std::unique_lock<std::mutex> guard(browsed.lock);
        ASSERT_TRUE(browsed.changed.wait_for(guard, 20s, [&] { return !browsed.names.empty(); }));
        // Everything before the good answer came first and was dropped.
        EXPECT_EQ(browsed.names, std::vector<std::string>{instanceText('a')});
    }
    EXPECT_EQ(client->browseCancel(&browseHandle), mdns::kStatusSuccess);
    EXPECT_EQ(client->browseCancel(&browseHandle), mdns::kStatusInvalidParameter);

    Resolved resolved;
    mdns::ResolveRequest resolve;
    resolve.queryName = instanceText('a');
    resolve.callback = recordResolve;
    resolve.queryContext = &resolved;
    mdns::CancelHandle resolveHandle;
    ASSERT_EQ(client->resolve(resolve, &resolveHandle), mdns::kStatusRequestPending);
    std::unique_lock<std::mutex> guard(resolved.lock);
    ASSERT_TRUE(resolved.changed.wait_for(guard, 20s, [&] { return resolved.done; }));
    ASSERT_EQ(resolved.status, mdns::kStatusSuccess);
    ASSERT_TRUE(resolved.instance);
    EXPECT_EQ(resolved.instance->instanceName, instanceText('a'));
    EXPECT_EQ(resolved.instance->hostName, "good-host.local");
    EXPECT_EQ(resolved.instance->port, 4321);
    ASSERT_TRUE(resolved.instance->hasIpv4);
    char text[INET6_ADDRSTRLEN];
    EXPECT_STREQ(inet_ntop(AF_INET, &resolved.instance->ipv4, text, sizeof text), "10.77.0.50");
    ASSERT_TRUE(resolved.instance->hasIpv6);
    EXPECT_STREQ(inet_ntop(AF_INET6, &resolved.instance->ipv6, text, sizeof text), "fd77::50");
}

TEST_F(NamespaceTest, OwnClientReportsANameAgainOnlyAfterItWentAway) {
    const mdns::DnsName instance = dnsName(instanceText('a'));
    std::atomic<int> browseQueries{0};
    ScriptedResponder responder(peer_->config().localName, [&](ScriptedResponder& r, const mdns::Message& q,
                                                               const sockaddr_in& from) {
        if (q.questions[0].type != mdns::kTypePtr) return;
        const int n = ++browseQueries;
        std::vector<std::uint8_t> b(512);
        mdns::MessageWriter w(b.data(), b.size(), q.id, mdns::kFlagResponse);
        w.addPtr(mdns::Section::Answer, serviceName(), 10, instance);  // a repeat from the second query on
        if (n == 2) w.addPtr(mdns::Section::Answer, serviceName(), 0, instance);  // then a goodbye
        b.resize(w.finish());
        r.reply(from, b);
    });
    ASSERT_TRUE(responder.ok());
    auto client = mdns::MdnsClient::open();
    ASSERT_TRUE(client);
    Browsed browsed;
    mdns::CancelHandle handle;
    ASSERT_EQ(startBrowse(*client, browsed, &handle), mdns::kStatusRequestPending);
    // Asked at about 0, 1, 3 and 7 s: reported after the first and the third.
    for (int i = 0; i < 300 && browseQueries.load() < 4; ++i) std::this_thread::sleep_for(100ms);
    ASSERT_GE(browseQueries.load(), 4);
    client->browseCancel(&handle);
    std::lock_guard<std::mutex> guard(browsed.lock);
    EXPECT_EQ(browsed.names, (std::vector<std::string>{instanceText('a'), instanceText('a')}));
}

TEST_F(NamespaceTest, OwnClientResolveWithoutAnswerTimesOut) {
    ScriptedResponder silent(peer_->config().localName, [](ScriptedResponder&, const mdns::Message&,
                                                           const sockaddr_in&) {});
    ASSERT_TRUE(silent.ok());
    auto client = mdns::MdnsClient::open();
    ASSERT_TRUE(client);
    Resolved resolved;
    mdns::ResolveRequest resolve;
    resolve.queryName = instanceText('c');
    resolve.callback = recordResolve;
    resolve.queryContext = &resolved;
    mdns::CancelHandle handle;
    ASSERT_EQ(client->resolve(resolve, &handle), mdns::kStatusRequestPending);
    std::unique_lock<std::mutex> guard(resolved.lock);
    ASSERT_TRUE(resolved.changed.wait_for(guard, 30s, [&] { return resolved.done; }));
    EXPECT_EQ(resolved.status, mdns::kStatusTimeout);
    EXPECT_FALSE(resolved.instance);
    EXPECT_GE(silent.queriesOf(mdns::kTypeSrv), 2);  // asked again before giving up
}

TEST_F(NamespaceTest, StoppingWithResolvesOutstandingEndsCleanly) {
    // Instances are offered, but their SRV records never come.
    ScriptedResponder responder(peer_->config().localName, [](ScriptedResponder& r, const mdns::Message& q,
                                                              const sockaddr_in& from) {
        if (q.questions[0].type != mdns::kTypePtr) return;
        std::vector<std::uint8_t> b(512);
        mdns::MessageWriter w(b.data(), b.size(), q.id, mdns::kFlagResponse);
        w.addPtr(mdns::Section::Answer, serviceName(), 10, dnsName(instanceText('d')));
        w.addPtr(mdns::Section::Answer, serviceName(), 10, dnsName(instanceText('e')));
        // Not 32 id characters and a dot: never resolved.
        w.addPtr(mdns::Section::Answer, serviceName(), 10, dnsName(std::string(32, 'f') + "x." + kServiceQueryName));
        b.resize(w.finish());
        r.reply(from, b);
    });
    ASSERT_TRUE(responder.ok());
    discovery_.SetSink(&sink_);
    for (int i = 0; i < 200 && responder.queriesOf(mdns::kTypeSrv) < 2; ++i) std::this_thread::sleep_for(50ms);
    ASSERT_GE(responder.queriesOf(mdns::kTypeSrv), 2);
    discovery_.SetSink(nullptr);  // waits a bounded time for the two resolves, then drops them
    EXPECT_FALSE(discovery_.running());
    EXPECT_TRUE(sink_.reports().empty());
    // A new start works from a clean state.
    discovery_.SetSink(&sink_);
    EXPECT_TRUE(discovery_.running());
    discovery_.SetSink(nullptr);
}

// --- libdns_sd against a private Avahi daemon --------------------------------

void ignoreBrowse(dnssd::ServiceRef, std::uint32_t, std::uint32_t, std::int32_t, const char*, const char*,
                  const char*, void*) {}

TEST_F(NamespaceTest, LibDnsSdThroughAvahiReportsTheFirstAddress) {
    const char* avahi = "/usr/sbin/avahi-daemon";
    const char* dbus = "/usr/bin/dbus-daemon";
    if (access(avahi, X_OK) != 0 || access(dbus, X_OK) != 0) GTEST_SKIP() << "avahi-daemon or dbus-daemon missing";
    if (!dnssd::libraryLoaded()) GTEST_SKIP() << "libdns_sd.so.1 is not installed";
    // The library keeps D-Bus state of the daemon's answers in its own
    // globals, lost when the engine unloads it; allocated while it processes
    // an answer, where the engine's handlers run too, no suppression could
    // name those blocks alone. This process keeps the library loaded, as a
    // host using it itself would: a block the engine lost is still reported.
    static void* const kKeptLoaded = dlopen("libdns_sd.so.1", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(kKeptLoaded, nullptr);

    PrivateBus& bus = PrivateBus::instance();
    if (!bus.running()) GTEST_SKIP() << "no private system bus (dbus-daemon did not start)";

    // The daemon serves only the test's end of the pair and publishes
    // nothing of its own. Its pid file and socket go to a private /run.
    const std::string avahiConfig = config_.path() + "/avahi.conf";
    ASSERT_TRUE(writeText(avahiConfig, "[server]\n"
                                       "host-name=tavin-test-host\n"
                                       "use-ipv4=yes\n"
                                       "use-ipv6=yes\n"
                                       "allow-interfaces=" + peer_->config().localName + "\n"
                                       "enable-dbus=yes\n"
                                       "ratelimit-interval-usec=1000000\n"
                                       "ratelimit-burst=1000\n"
                                       "[wide-area]\n"
                                       "enable-wide-area=no\n"
                                       "[publish]\n"
                                       "disable-publishing=yes\n"
                                       "disable-user-service-publishing=yes\n"
                                       "publish-addresses=no\n"
                                       "publish-hinfo=no\n"
                                       "publish-workstation=no\n"
                                       "[reflector]\n"
                                       "enable-reflector=no\n"));
    test::ChildProcess daemon({"/usr/bin/unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c",
                               std::string("mount -t tmpfs tmpfs /run && exec ") + avahi +
                                   " --no-drop-root --no-chroot --no-rlimits --no-proc-title -f " + avahiConfig},
                              {bus.addressVariable()});
    ASSERT_TRUE(daemon.waitForLine("Server startup complete", 20s)) << "avahi-daemon did not start";
    // The daemon takes its name on the bus around that line: wait until a
    // browse through the library starts.
    bool answering = false;
    for (int i = 0; i < 100 && !answering; ++i) {
        dnssd::ServiceRef ref = nullptr;
        answering = dnssd::browse(&ref, 0, 0, kServiceType, nullptr, ignoreBrowse, nullptr) == dnssd::kNoError;
        if (answering) dnssd::refDeallocate(ref);
        else std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(answering) << "the daemon does not answer on the bus";

    const unsigned session = startPhone({"--bind", "::", "--mdns", peer_->config().peerName}, "mdns:");
    ASSERT_GT(session, 0u);
    discovery_.SetSink(&sink_);
    const bool found = sink_.waitForCount(1, 60s);
    discovery_.SetSink(nullptr);
    if (!found) {
        for (auto& l : daemon.lines()) ADD_FAILURE() << "avahi: " << l;
    }
    ASSERT_TRUE(found);
    // The daemon may report the instance once per address family it saw it
    // on; each resolution gives one address, the first one found.
    for (const NetworkReport& r : sink_.reports()) {
        EXPECT_TRUE(isOurs(r));
        EXPECT_EQ(r.kind, kDnsSdPhoneKind);
        EXPECT_EQ(r.name, "");
        EXPECT_EQ(r.portBe, htons(static_cast<std::uint16_t>(session)));
        EXPECT_EQ(r.addressPort(), 0);  // the library's addresses come without the port
        if (r.family() == AF_INET) {
            EXPECT_EQ(r.addressText(), test::PeerNamespace::addressOf(peer_->config().peerIpv4));
        } else {
            ASSERT_EQ(r.family(), AF_INET6);
            sockaddr_in6 a;
            std::memcpy(&a, &r.address, sizeof a);
            if (IN6_IS_ADDR_LINKLOCAL(&a.sin6_addr)) {
                EXPECT_EQ(r.scopeId(), localIndex());
            } else {
                EXPECT_EQ(r.addressText(), test::PeerNamespace::addressOf(peer_->config().peerIpv6));
            }
        }
    }
}

}  // namespace
}  // namespace tavin
