// A hostile neighbour on the engine's link, for the soak run: it floods the
// phone announcements and answers the engine's multicast DNS queries with
// malformed messages, and announces one phone's id from its own address.
//
//   hostile_neighbour --interface IF --engine ADDR [--rate N] [--spoof ID]
//                     [--seconds S]
//
// Every second, N forged PhoneInfo datagrams (default 10,000; random ids and
// names, a share of them malformed: short, long, of another type, with a
// wrong length) go to the announcement group and to the engine's address,
// port 4698; and N malformed or forged multicast DNS answers go to the
// source of the last queries of the engine's own client (learnt from the
// queries it multicasts to port 5353): counts beyond the data, compression
// loops, overlong labels, truncated headers, wrong record lengths, garbage
// and well-formed answers naming forged phones. With --spoof, five times a
// second a well-formed PhoneInfo with that id (32 hexadecimal digits) and
// the name "Spoofed" goes out from this neighbour's address. A line of
// counts goes to stdout every 10 s. Only for links a test made: the
// interface must not carry a default route.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "discovery/mdns_message.h"
#include "platform/byte_order.h"
#include "session/protocol.h"

namespace {

using namespace tavin;
namespace info = protocol::phone_info;

constexpr const char* kAnnounceGroup = "239.255.188.58";
constexpr const char* kMdnsGroup = "224.0.0.251";
constexpr int kTickMs = 10;
constexpr int kSpoofEveryTicks = 20;
constexpr std::size_t kMaxQuerySources = 8;
constexpr std::size_t kLongDatagram = 9100;  // above the multicast DNS limit

std::atomic<bool> g_stop{false};

bool carriesDefaultRoute(const std::string& name) {
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line);
    while (std::getline(routes, line)) {
        std::istringstream f(line);
        std::string iface, destination, gateway, flags, refs, use, metric, mask;
        f >> iface >> destination >> gateway >> flags >> refs >> use >> metric >> mask;
        if (iface == name && destination == "00000000" && mask == "00000000") return true;
    }
    return false;
}

bool parseId(const std::string& text, PhoneId& out) {
    if (text.size() != 32) return false;
    for (std::size_t i = 0; i < 16; ++i) {
        const std::string pair = text.substr(2 * i, 2);
        char* end = nullptr;
        const unsigned long v = std::strtoul(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2) return false;
        out[i] = static_cast<std::uint8_t>(v);
    }
    return true;
}

std::array<std::uint8_t, info::kSize> phoneInfo(const PhoneId& id, std::uint16_t kind, const std::string& name) {
    std::array<std::uint8_t, info::kSize> m{};
    writeLe32(m.data(), protocol::makeHeader(protocol::kPhoneInfo, info::kSize));
    std::memcpy(m.data() + info::kId, id.data(), id.size());
    writeLe16(m.data() + info::kKind, kind);
    std::memcpy(m.data() + info::kName, name.data(), std::min(name.size(), info::kNameSize - 1));
    return m;
}

struct QuerySource {
    sockaddr_in address{};
    std::uint16_t id = 0;
    std::vector<std::uint8_t> question;  // the first question, as sent
};

class Neighbour {
public:
    Neighbour(unsigned interfaceIndex, in_addr local, in_addr engine, int rate, std::optional<PhoneId> spoof)
        : interfaceIndex_(interfaceIndex), local_(local), engine_(engine), rate_(rate), spoof_(spoof) {}

    bool open() {
        sender_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        listener_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        mdnsSender_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (sender_ < 0 || listener_ < 0 || mdnsSender_ < 0) return false;
        ip_mreqn outgoing{};
        outgoing.imr_ifindex = static_cast<int>(interfaceIndex_);
        const int one = 1;
        setsockopt(sender_, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing);
        const int big = 1 << 20;
        setsockopt(sender_, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        setsockopt(mdnsSender_, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        // Answers come from port 5353, as a responder's do.
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        setsockopt(mdnsSender_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(mdns::kPort);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return false;
        sockaddr_in from = any;
        from.sin_addr = local_;
        if (bind(mdnsSender_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) return false;
        ip_mreqn join{};
        inet_pton(AF_INET, kMdnsGroup, &join.imr_multiaddr);
        join.imr_ifindex = static_cast<int>(interfaceIndex_);
        return setsockopt(listener_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0;
    }

    void run(double seconds) {
        const auto start = std::chrono::steady_clock::now();
        start_ = start;
        auto nextReport = start + std::chrono::seconds(10);
        for (long tick = 0; !g_stop.load(); ++tick) {
            const auto tickStart = std::chrono::steady_clock::now();
            if (seconds > 0 && tickStart - start >= std::chrono::duration<double>(seconds)) break;
            learnQueries();
            // As many as the rate asks for since the start, so that a tick
            // that took too long is made up for (at most a tenth of a
            // second's worth at once).
            const double elapsed = std::chrono::duration<double>(tickStart - start).count();
            const auto due = static_cast<unsigned long long>(rate_ * elapsed);
            const unsigned long long burst = static_cast<unsigned long long>(rate_ / 10 + 1);
            for (unsigned long long n = 0; announcements_ < due && n < burst; ++n) forgedAnnouncement();
            if (!sources_.empty()) {
                const double answering = std::chrono::duration<double>(tickStart - firstQuery_).count();
                const auto dueAnswers = static_cast<unsigned long long>(rate_ * answering);
                for (unsigned long long n = 0; answers_ < dueAnswers && n < burst; ++n) malformedAnswer();
            }
            if (spoof_ && tick % kSpoofEveryTicks == 0) spoofedAnnouncement();
            if (tickStart >= nextReport) {
                report();
                nextReport += std::chrono::seconds(10);
            }
            std::this_thread::sleep_until(tickStart + std::chrono::milliseconds(kTickMs));
        }
        report();
    }

private:
    void send(int fd, const void* data, std::size_t length, in_addr to, std::uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr = to;
        if (sendto(fd, data, length, 0, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) ++sendFailures_;
    }

    void announce(const std::uint8_t* data, std::size_t length) {
        in_addr group{};
        inet_pton(AF_INET, kAnnounceGroup, &group);
        // Half to the group, half straight to the engine.
        send(sender_, data, length, (announcements_ & 1) ? engine_ : group, protocol::kAnnouncePort);
        ++announcements_;
    }

    void forgedAnnouncement() {
        PhoneId id;
        for (auto& b : id) b = static_cast<std::uint8_t>(random_());
        auto m = phoneInfo(id, (random_() & 1) ? 7 : 2, "Forged " + std::to_string(random_() % 100000));
        std::array<std::uint8_t, 700> buffer{};
        std::memcpy(buffer.data(), m.data(), m.size());
        std::size_t length = m.size();
        switch (announcements_ % 8) {
            case 1: length = random_() % info::kSize; break;                                  // short
            case 2: length = 561 + random_() % 100; break;                                    // too long
            case 3: writeLe32(buffer.data(), protocol::makeHeader(2, info::kSize)); break;   // another type
            case 4: writeLe32(buffer.data(), protocol::makeHeader(protocol::kPhoneInfo, 100)); break;
            case 5: std::memset(buffer.data() + info::kName, 'N', info::kNameSize); break;    // no NUL
            default: break;  // well-formed, random id
        }
        announce(buffer.data(), length);
    }

    void spoofedAnnouncement() {
        const auto m = phoneInfo(*spoof_, 7, "Spoofed");
        announce(m.data(), m.size());
        ++spoofed_;
    }

    void learnQueries() {
        std::uint8_t buffer[mdns::kMaxMessageSize];
        for (int i = 0; i < 64; ++i) {
            sockaddr_in from{};
            socklen_t size = sizeof from;
            const ssize_t n = recvfrom(listener_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
            if (n <= 0) return;
            if (from.sin_addr.s_addr != engine_.s_addr || n < static_cast<ssize_t>(mdns::kHeaderSize)) continue;
            if ((readBe16(buffer + 2) & mdns::kFlagResponse) != 0) continue;
            if (queries_++ == 0) firstQuery_ = std::chrono::steady_clock::now();
            QuerySource q;
            q.address = from;
            q.id = readBe16(buffer);
            q.question.assign(buffer + mdns::kHeaderSize, buffer + n);
            sources_.push_back(std::move(q));
            if (sources_.size() > kMaxQuerySources) sources_.erase(sources_.begin());
        }
    }

    static std::uint16_t readBe16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
    static void writeBe16(std::uint8_t* p, std::uint16_t v) {
        p[0] = static_cast<std::uint8_t>(v >> 8);
        p[1] = static_cast<std::uint8_t>(v);
    }

    void malformedAnswer() {
        const QuerySource& q = sources_[random_() % sources_.size()];
        std::vector<std::uint8_t> m(mdns::kMaxMessageSize);
        std::size_t length = 0;
        const unsigned variant = answers_ % 9;
        if (variant == 0 || variant == 1 || variant == 6 || variant == 8) {
            // A forged phone: a PTR naming an instance of the service.
            mdns::MessageWriter w(m.data(), m.size(), q.id, mdns::kFlagResponse | mdns::kFlagAuthoritative);
            mdns::DnsName service, instance;
            mdns::DnsName::fromText("_tavinwebcam._tcp.local", service);
            char label[33];
            for (int i = 0; i < 32; ++i) label[i] = "0123456789abcdef"[random_() % 16];
            label[32] = 0;
            instance = service;
            instance.prependLabel(label);
            w.addPtr(mdns::Section::Answer, service, 120, instance);
            length = w.finish();
            if (variant == 1) writeBe16(m.data() + 6, 50);              // more answers than the data holds
            if (variant == 6 && length > 4) m[length - 3] = 0x7F;      // record length past the end
            if (variant == 8) writeBe16(m.data() + 0, static_cast<std::uint16_t>(q.id + 1));  // unknown id
        } else {
            writeBe16(m.data(), q.id);
            writeBe16(m.data() + 2, mdns::kFlagResponse);
            length = mdns::kHeaderSize;
            switch (variant) {
                case 2: {  // a name that points at itself
                    writeBe16(m.data() + 6, 1);
                    m[length] = 0xC0;
                    m[length + 1] = static_cast<std::uint8_t>(length);
                    length += 2;
                    std::memset(m.data() + length, 0, 10);
                    length += 10;
                    break;
                }
                case 3: {  // a label longer than 63 bytes that runs off the end
                    writeBe16(m.data() + 6, 1);
                    m[length++] = 0x3F + 20;
                    for (int i = 0; i < 30; ++i) m[length++] = 'a';
                    break;
                }
                case 4: length = random_() % mdns::kHeaderSize; break;  // truncated header
                case 5: {                                               // garbage behind a right header
                    length = mdns::kHeaderSize + random_() % 1400;
                    for (std::size_t i = 4; i < length; ++i) m[i] = static_cast<std::uint8_t>(random_());
                    break;
                }
                case 7: {  // longer than any message may be
                    m.resize(kLongDatagram);
                    writeBe16(m.data() + 6, 1);
                    length = kLongDatagram;
                    break;
                }
                default: break;
            }
        }
        sockaddr_in to = q.address;
        if (sendto(mdnsSender_, m.data(), length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
            ++sendFailures_;
        ++answers_;
    }

    void report() {
        const auto now = std::chrono::steady_clock::now();
        const double flooding = std::chrono::duration<double>(now - start_).count();
        const double answering = queries_ ? std::chrono::duration<double>(now - firstQuery_).count() : 0.0;
        std::printf("hostile: %llu announcements (%.0f a second), %llu dns answers (%.0f a second since the first "
                    "query seen), %llu spoofed, %llu queries seen, %llu send failures\n",
                    announcements_, flooding > 0 ? announcements_ / flooding : 0.0, answers_,
                    answering > 0 ? answers_ / answering : 0.0, spoofed_, queries_, sendFailures_);
        std::fflush(stdout);
    }

    unsigned interfaceIndex_;
    in_addr local_;
    in_addr engine_;
    int rate_;
    std::optional<PhoneId> spoof_;
    int sender_ = -1, listener_ = -1, mdnsSender_ = -1;
    std::vector<QuerySource> sources_;
    std::chrono::steady_clock::time_point start_{};
    std::chrono::steady_clock::time_point firstQuery_{};
    std::mt19937 random_{12345};
    unsigned long long announcements_ = 0, answers_ = 0, spoofed_ = 0, queries_ = 0, sendFailures_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    std::string interfaceName, engineText, spoofText;
    int rate = 10000;
    double seconds = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--interface") interfaceName = argv[i + 1];
        else if (option == "--engine") engineText = argv[i + 1];
        else if (option == "--rate") rate = std::atoi(argv[i + 1]);
        else if (option == "--spoof") spoofText = argv[i + 1];
        else if (option == "--seconds") seconds = std::atof(argv[i + 1]);
    }
    const unsigned index = interfaceName.empty() ? 0 : if_nametoindex(interfaceName.c_str());
    in_addr engine{};
    std::optional<PhoneId> spoof;
    if (!spoofText.empty()) {
        PhoneId id;
        if (!parseId(spoofText, id)) {
            std::fprintf(stderr, "hostile: --spoof needs 32 hexadecimal digits\n");
            return 2;
        }
        spoof = id;
    }
    if (index == 0 || inet_pton(AF_INET, engineText.c_str(), &engine) != 1 || rate < 1) {
        std::fprintf(stderr, "usage: hostile_neighbour --interface IF --engine ADDR [--rate N] [--spoof ID] [--seconds S]\n");
        return 2;
    }
    if (carriesDefaultRoute(interfaceName)) {
        std::fprintf(stderr, "hostile: refusing %s: it carries a default route\n", interfaceName.c_str());
        return 2;
    }
    // The neighbour's own address on the interface: its answers come from it.
    in_addr local{};
    {
        const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        to.sin_addr = engine;
        sockaddr_in self{};
        socklen_t size = sizeof self;
        if (probe < 0 || connect(probe, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
            getsockname(probe, reinterpret_cast<sockaddr*>(&self), &size) != 0) {
            std::fprintf(stderr, "hostile: no route to %s\n", engineText.c_str());
            return 2;
        }
        close(probe);
        local = self.sin_addr;
    }
    struct sigaction sa {};
    sa.sa_handler = [](int) { g_stop.store(true); };
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    Neighbour neighbour(index, local, engine, rate, spoof);
    if (!neighbour.open()) {
        std::fprintf(stderr, "hostile: cannot open its sockets: %s\n", std::strerror(errno));
        return 1;
    }
    std::printf("hostile: flooding %s at %d per second\n", engineText.c_str(), rate);
    std::fflush(stdout);
    neighbour.run(seconds);
    return 0;
}
