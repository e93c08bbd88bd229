#include "announcer.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "phone_log.h"
#include "platform/clock.h"
#include "session/protocol.h"

namespace tavin::phonesim {

namespace {

constexpr unsigned kRejectRoute = 0x0200;

bool isMulticast(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET)
        return IN_MULTICAST(ntohl(reinterpret_cast<const sockaddr_in*>(&a)->sin_addr.s_addr));
    return IN6_IS_ADDR_MULTICAST(&reinterpret_cast<const sockaddr_in6*>(&a)->sin6_addr);
}

bool parsePortText(const std::string& text, std::uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

int openSocket(int family, unsigned interfaceIndex) {
    const int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int hops = 1;
    if (family == AF_INET) {
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops);
        if (interfaceIndex != 0) {
            ip_mreqn m{};
            m.imr_ifindex = static_cast<int>(interfaceIndex);
            if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &m, sizeof m) != 0) {
                close(fd);
                return -1;
            }
        }
    } else {
        setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops);
        if (interfaceIndex != 0 &&
            setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &interfaceIndex, sizeof interfaceIndex) != 0) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

}  // namespace

bool interfaceCarriesDefaultRoute(const std::string& interfaceName) {
    std::ifstream v4("/proc/net/route");
    std::string line;
    std::getline(v4, line);  // the heading
    while (std::getline(v4, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refs, use, metric, mask;
        fields >> iface >> destination >> gateway >> flags >> refs >> use >> metric >> mask;
        if (iface == interfaceName && destination == "00000000" && mask == "00000000") return true;
    }
    std::ifstream v6("/proc/net/ipv6_route");
    while (std::getline(v6, line)) {
        std::istringstream fields(line);
        std::string destination, prefix, source, sourcePrefix, nextHop, metric, refs, use, flags, iface;
        fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >> refs >> use >> flags >>
            iface;
        if (iface != interfaceName || prefix != "00" || destination.find_first_not_of('0') != std::string::npos)
            continue;
        const unsigned routeFlags = static_cast<unsigned>(std::strtoul(flags.c_str(), nullptr, 16));
        if ((routeFlags & kRejectRoute) == 0) return true;
    }
    return false;
}

bool parseAnnounceTarget(const std::string& text, sockaddr_storage& out) {
    sockaddr_storage a{};
    std::uint16_t port = protocol::kAnnouncePort;
    std::string host = text;
    bool v6 = false;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !parsePortText(rest.substr(1), port))) return false;
        v6 = true;
    } else if (std::count(text.begin(), text.end(), ':') >= 2) {
        v6 = true;
    } else if (std::size_t colon = text.find(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        if (!parsePortText(text.substr(colon + 1), port)) return false;
    }
    if (v6) {
        auto* s6 = reinterpret_cast<sockaddr_in6*>(&a);
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(port);
        if (inet_pton(AF_INET6, host.c_str(), &s6->sin6_addr) != 1) return false;
    } else {
        auto* s4 = reinterpret_cast<sockaddr_in*>(&a);
        s4->sin_family = AF_INET;
        s4->sin_port = htons(port);
        if (inet_pton(AF_INET, host.c_str(), &s4->sin_addr) != 1) return false;
    }
    out = a;
    return true;
}

std::unique_ptr<Announcer> Announcer::create(const AnnounceOptions& options, const AdvertisedPhone& phone,
                                             std::string& error) {
    std::unique_ptr<Announcer> a(new Announcer());
    a->intervalMs_ = std::clamp(options.intervalMs, kMinAnnounceIntervalMs, kMaxAnnounceIntervalMs);
    a->id_ = phone.id;
    a->kind_ = phone.kind;
    a->name_ = phone.name;
    if (!options.interfaceName.empty()) {
        a->interfaceIndex_ = if_nametoindex(options.interfaceName.c_str());
        if (a->interfaceIndex_ == 0) {
            error = "no interface " + options.interfaceName;
            return nullptr;
        }
    }
    bool multicast = false;
    for (const std::string& t : options.targets) {
        sockaddr_storage target;
        if (!parseAnnounceTarget(t, target)) {
            error = "bad announce target '" + t + "'";
            return nullptr;
        }
        if (isMulticast(target)) {
            multicast = true;
            if (target.ss_family == AF_INET6)
                reinterpret_cast<sockaddr_in6*>(&target)->sin6_scope_id = a->interfaceIndex_;
        }
        a->targets_.push_back(target);
    }
    if (multicast) {
        if (a->interfaceIndex_ == 0) {
            error = "multicast announcements need --announce-interface";
            return nullptr;
        }
        if (interfaceCarriesDefaultRoute(options.interfaceName)) {
            error = "refusing to announce on " + options.interfaceName + ": it carries a default route";
            return nullptr;
        }
    }
    return a;
}

Announcer::~Announcer() {
    stop();
    if (socket4_ >= 0) close(socket4_);
    if (socket6_ >= 0) close(socket6_);
}

bool Announcer::start() {
    const bool want4 = std::any_of(targets_.begin(), targets_.end(), [](auto& t) { return t.ss_family == AF_INET; });
    const bool want6 = std::any_of(targets_.begin(), targets_.end(), [](auto& t) { return t.ss_family == AF_INET6; });
    if (want4 && (socket4_ = openSocket(AF_INET, interfaceIndex_)) < 0) {
        logLine("announce: no IPv4 socket: %s", std::strerror(errno));
        return false;
    }
    if (want6 && (socket6_ = openSocket(AF_INET6, interfaceIndex_)) < 0) {
        logLine("announce: no IPv6 socket: %s", std::strerror(errno));
        return false;
    }
    running_.store(true);
    if (!thread_.start([this] { run(); })) {
        running_.store(false);
        return false;
    }
    logLine("announce: %zu target(s) every %d ms", targets_.size(), intervalMs_);
    return true;
}

void Announcer::stop() {
    running_.store(false);
    thread_.join();
}

void Announcer::renamed(const std::string& name) {
    std::lock_guard<std::mutex> guard(nameLock_);
    name_ = name;
}

void Announcer::run() {
    while (running_.load()) {
        std::array<std::uint8_t, 280> datagram;
        {
            std::lock_guard<std::mutex> guard(nameLock_);
            datagram = protocol::buildPhoneInfo(id_, kind_, name_);
        }
        for (const sockaddr_storage& t : targets_) {
            const int fd = t.ss_family == AF_INET ? socket4_ : socket6_;
            const socklen_t length = t.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
            sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&t), length);
        }
        const double until = platform::processClock() + intervalMs_ / 1000.0;
        while (running_.load() && platform::processClock() < until) platform::sleepMs(10);
    }
}

}  // namespace tavin::phonesim
