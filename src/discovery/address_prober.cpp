#include "discovery/address_prober.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "platform/thread.h"
#include "session/protocol.h"

namespace tavin {

namespace {

constexpr std::size_t kMaxAddressText = 255;
constexpr std::size_t kMaxHostName = 253;
constexpr std::size_t kMaxCandidates = 4;
constexpr int kStepMs = 100;

bool isIpv4Literal(const std::string& text) {
    in_addr a;
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

// An IPv6 literal, optionally with a zone ("%eth0") of interface-name
// characters.
bool isIpv6Literal(std::string_view text) {
    std::string_view address = text;
    if (std::size_t pct = text.find('%'); pct != std::string_view::npos) {
        std::string_view zone = text.substr(pct + 1);
        if (zone.empty() || zone.size() > 15) return false;
        for (char c : zone)
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-')) return false;
        address = text.substr(0, pct);
    }
    in6_addr a;
    return inet_pton(AF_INET6, std::string(address).c_str(), &a) == 1;
}

// Letters, digits, '-' and '_' in labels of 1..63 characters, an optional
// final dot; a last label of digits only would be a malformed IPv4 address.
bool isHostName(std::string_view text) {
    if (!text.empty() && text.back() == '.') text.remove_suffix(1);
    if (text.empty() || text.size() > kMaxHostName) return false;
    std::size_t start = 0;
    bool lastAllDigits = false;
    while (start <= text.size()) {
        std::size_t dot = text.find('.', start);
        std::string_view label = text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
        lastAllDigits = true;
        for (char c : label) {
            const unsigned char u = static_cast<unsigned char>(c);
            if (!(std::isalnum(u) || c == '-' || c == '_')) return false;
            if (!std::isdigit(u)) lastAllDigits = false;
        }
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return !lastAllDigits;
}

bool parsePort(std::string_view text, std::uint16_t& out) {
    if (text.empty() || text.size() > 5) return false;
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    out = static_cast<std::uint16_t>(value);
    return true;
}

struct Entry {
    ParsedPhoneAddress address;
    bool answered = false;
};

}  // namespace

bool parsePhoneAddress(std::string_view text, ParsedPhoneAddress& out) {
    // The literal checks read C strings: a NUL would end the text early.
    if (text.empty() || text.size() > kMaxAddressText || text.find('\0') != std::string_view::npos) return false;
    ParsedPhoneAddress parsed;
    if (text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) return false;
        std::string_view inner = text.substr(1, close - 1);
        std::string_view rest = text.substr(close + 1);
        if (!isIpv6Literal(inner)) return false;
        if (!rest.empty() && (rest.front() != ':' || !parsePort(rest.substr(1), parsed.port))) return false;
        parsed.host = std::string(inner);
    } else if (std::count(text.begin(), text.end(), ':') >= 2) {
        // Without brackets every colon belongs to the address.
        if (!isIpv6Literal(text)) return false;
        parsed.host = std::string(text);
    } else {
        std::string_view host = text;
        if (std::size_t colon = text.find(':'); colon != std::string_view::npos) {
            host = text.substr(0, colon);
            if (!parsePort(text.substr(colon + 1), parsed.port)) return false;
        }
        parsed.host = std::string(host);
        if (!isIpv4Literal(parsed.host) && !isHostName(host)) return false;
    }
    out = std::move(parsed);
    return true;
}

struct AddressProber::State {
    mutable std::mutex lock;  // guards entries
    std::vector<Entry> entries;
    std::mutex setLock;       // serialises SetSink
    std::atomic<NetworkPhoneSink*> sink{nullptr};
    platform::Thread thread;
    std::atomic<bool> running{false};

    void run();
    bool waitSteps(int totalMs) {
        for (int waited = 0; waited < totalMs && running.load(); waited += kStepMs) platform::sleepMs(kStepMs);
        return running.load();
    }
    std::vector<sockaddr_storage> candidates(const ParsedPhoneAddress& address);
    bool probe(const sockaddr_storage& to, std::uint16_t port, protocol::PhoneInfoFields& info);
    void stop() {
        running.store(false);
        thread.join();
    }
};

std::vector<sockaddr_storage> AddressProber::State::candidates(const ParsedPhoneAddress& address) {
    std::vector<sockaddr_storage> out;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    if (isIpv4Literal(address.host) || isIpv6Literal(address.host)) hints.ai_flags |= AI_NUMERICHOST;
    addrinfo* list = nullptr;
    if (getaddrinfo(address.host.c_str(), nullptr, &hints, &list) != 0) return out;
    for (addrinfo* a = list; a != nullptr && out.size() < kMaxCandidates; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        sockaddr_storage s{};
        std::memcpy(&s, a->ai_addr, a->ai_addrlen);
        out.push_back(s);
    }
    freeaddrinfo(list);
    return out;
}

bool AddressProber::State::probe(const sockaddr_storage& to, std::uint16_t port, protocol::PhoneInfoFields& info) {
    sockaddr_storage target = to;
    socklen_t length = 0;
    if (target.ss_family == AF_INET) {
        reinterpret_cast<sockaddr_in*>(&target)->sin_port = htons(port);
        length = sizeof(sockaddr_in);
    } else {
        reinterpret_cast<sockaddr_in6*>(&target)->sin6_port = htons(port);
        length = sizeof(sockaddr_in6);
    }
    const int fd = socket(target.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    bool ok = false;
    std::uint8_t buffer[protocol::phone_info::kSize];
    std::size_t have = 0;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&target), length) == 0 || errno == EINPROGRESS) {
        // Connect within the bound, in steps so that a stop is quick.
        bool connected = false;
        const double connectDeadline = platform::processClock() + kProbeConnectTimeoutMs / 1000.0;
        while (running.load() && platform::processClock() < connectDeadline) {
            pollfd p{fd, POLLOUT, 0};
            const int r = poll(&p, 1, kStepMs);
            if (r < 0 && errno != EINTR) break;
            if (r == 1) {
                int error = 0;
                socklen_t size = sizeof error;
                connected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
                break;
            }
        }
        // The whole PhoneInfo must arrive within the read bound.
        const double readDeadline = platform::processClock() + kProbeReadTimeoutMs / 1000.0;
        while (connected && have < sizeof buffer && running.load() && platform::processClock() < readDeadline) {
            pollfd p{fd, POLLIN, 0};
            const int r = poll(&p, 1, kStepMs);
            if (r < 0 && errno != EINTR) break;
            if (r <= 0) continue;
            const ssize_t n = recv(fd, buffer + have, sizeof buffer - have, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
            if (n > 0) have += static_cast<std::size_t>(n);
        }
        ok = protocol::isProbeReply(buffer, have) && protocol::parsePhoneInfo(buffer, have, info);
    }
    close(fd);
    return ok;
}

void AddressProber::State::run() {
    while (running.load()) {
        std::vector<ParsedPhoneAddress> due;
        {
            std::lock_guard<std::mutex> guard(lock);
            for (const Entry& e : entries)
                if (!e.answered) due.push_back(e.address);
        }
        for (const ParsedPhoneAddress& address : due) {
            if (!running.load()) break;
            bool answered = false;
            for (const sockaddr_storage& c : candidates(address)) {
                for (std::uint16_t port : {protocol::kProbePort, address.port}) {
                    protocol::PhoneInfoFields info;
                    if (!running.load() || !probe(c, port, info)) continue;
                    sockaddr_storage reported = c;
                    NetworkPhoneSink* s = sink.load();
                    if (s != nullptr && running.load())
                        s->PhoneFound(info.id, info.kind, info.name, reinterpret_cast<const sockaddr*>(&reported),
                                      htons(address.port));
                    answered = true;
                    break;
                }
                if (answered) break;
            }
            if (answered) {
                std::lock_guard<std::mutex> guard(lock);
                for (Entry& e : entries)
                    if (e.address == address) e.answered = true;
            }
        }
        waitSteps(kProbeIntervalMs);
    }
}

AddressProber::AddressProber() : state_(new State) {}

AddressProber::~AddressProber() {
    state_->stop();
    delete state_;
}

int AddressProber::add(const char* address) {
    ParsedPhoneAddress parsed;
    if (address == nullptr) return -1;
    // Bounded before anything else is read.
    const std::size_t length = strnlen(address, kMaxAddressText + 1);
    if (length > kMaxAddressText || !parsePhoneAddress(std::string_view(address, length), parsed)) return -1;
    std::lock_guard<std::mutex> guard(state_->lock);
    auto& entries = state_->entries;
    auto known = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.address == parsed; });
    if (known != entries.end()) {
        known->answered = false;
        return 0;
    }
    if (entries.size() >= kMaxProbedAddresses) entries.erase(entries.begin());
    entries.push_back(Entry{std::move(parsed), false});
    return 0;
}

void AddressProber::SetSink(NetworkPhoneSink* sink) {
    std::lock_guard<std::mutex> serial(state_->setLock);
    state_->stop();
    state_->sink.store(sink);
    if (sink == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        for (Entry& e : state_->entries) e.answered = false;
    }
    state_->running.store(true);
    State* s = state_;
    if (!state_->thread.start([s] { s->run(); })) state_->running.store(false);
}

std::size_t AddressProber::addressCount() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->entries.size();
}

}  // namespace tavin
