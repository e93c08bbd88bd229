#include "mdns_responder.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "announcer.h"
#include "discovery/local_interfaces.h"
#include "phone_log.h"

namespace tavin::phonesim {

namespace {

using namespace tavin::mdns;

constexpr const char* kServiceText = "_tavinwebcam._tcp.local";
constexpr const char* kServicesText = "_services._dns-sd._udp.local";
constexpr std::uint32_t kSharedTtl = 4500;   // PTR records
constexpr std::uint32_t kUniqueTtl = 120;    // SRV, TXT and address records
constexpr std::uint32_t kLegacyTtl = 10;     // answers to one-shot queries
constexpr std::size_t kResponseSize = 1500;

enum Kind : unsigned { kServices = 1, kPtr = 2, kSrv = 4, kTxt = 8, kAddr4 = 16, kAddr6 = 32 };

bool matches(const Question& q, std::uint16_t type) {
    return (q.qclass == kClassIn || q.qclass == kTypeAny) && (q.type == type || q.type == kTypeAny);
}

std::string hexId(const PhoneId& id) {
    std::string text;
    char pair[3];
    for (std::uint8_t b : id) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

int openSocket(int family, const std::vector<unsigned>& interfaces) {
    const int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    const int one = 1, hops = 255;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    bool ok = false;
    if (family == AF_INET) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kPort);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops);
            for (unsigned index : interfaces) {
                ip_mreqn m{};
                inet_pton(AF_INET, "224.0.0.251", &m.imr_multiaddr);
                m.imr_ifindex = static_cast<int>(index);
                ok = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0 || ok;
            }
        }
    } else {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(kPort);
        a.sin6_addr = in6addr_any;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one);
            setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops);
            for (unsigned index : interfaces) {
                ipv6_mreq m{};
                inet_pton(AF_INET6, "ff02::fb", &m.ipv6mr_multiaddr);
                m.ipv6mr_interface = index;
                ok = setsockopt(fd, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &m, sizeof m) == 0 || ok;
            }
        }
    }
    if (!ok) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::unique_ptr<MdnsResponder> MdnsResponder::create(const AnnounceOptions& options, const AdvertisedPhone& phone,
                                                     std::string& error) {
    std::unique_ptr<MdnsResponder> r(new MdnsResponder());
    for (const std::string& name : options.mdnsInterfaces) {
        const unsigned index = if_nametoindex(name.c_str());
        if (index == 0) {
            error = "no interface " + name;
            return nullptr;
        }
        if (interfaceCarriesDefaultRoute(name)) {
            error = "refusing to answer DNS-SD on " + name + ": it carries a default route";
            return nullptr;
        }
        if (std::find(r->interfaces_.begin(), r->interfaces_.end(), index) == r->interfaces_.end())
            r->interfaces_.push_back(index);
    }
    r->bindAddress_ = phone.bindAddress;
    r->port_ = phone.sessionPort;
    const std::string id = hexId(phone.id);
    if (!DnsName::fromText(kServiceText, r->serviceName_) || !DnsName::fromText(kServicesText, r->servicesName_) ||
        !DnsName::fromText(std::string(id) + "." + kServiceText, r->instanceName_) ||
        !DnsName::fromText("phone-" + id.substr(0, 8) + ".local", r->hostName_)) {
        error = "cannot build the DNS-SD names";
        return nullptr;
    }
    r->message_ = std::make_unique<Message>();
    return r;
}

MdnsResponder::~MdnsResponder() {
    stop();
    if (socket4_ >= 0) close(socket4_);
    if (socket6_ >= 0) close(socket6_);
}

bool MdnsResponder::start() {
    socket4_ = openSocket(AF_INET, interfaces_);
    socket6_ = openSocket(AF_INET6, interfaces_);
    if (socket4_ < 0 && socket6_ < 0) {
        logLine("mdns: cannot join the multicast DNS groups: %s", std::strerror(errno));
        return false;
    }
    running_.store(true);
    if (!thread_.start([this] { run(); })) {
        running_.store(false);
        return false;
    }
    logLine("mdns: answering for %s on %zu interface(s)", instanceName_.toText().c_str(), interfaces_.size());
    return true;
}

void MdnsResponder::stop() {
    running_.store(false);
    thread_.join();
}

void MdnsResponder::run() {
    std::vector<std::uint8_t> buffer(kMaxMessageSize + 1);
    while (running_.load()) {
        pollfd fds[2] = {{socket4_, POLLIN, 0}, {socket6_, POLLIN, 0}};
        if (poll(fds, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            for (int n = 0; n < 32; ++n) {
                sockaddr_storage from{};
                iovec iov{buffer.data(), buffer.size()};
                alignas(cmsghdr) std::uint8_t control[256];
                msghdr msg{};
                msg.msg_name = &from;
                msg.msg_namelen = sizeof from;
                msg.msg_iov = &iov;
                msg.msg_iovlen = 1;
                msg.msg_control = control;
                msg.msg_controllen = sizeof control;
                const ssize_t got = recvmsg(fds[i].fd, &msg, MSG_TRUNC);
                if (got < 0) break;
                if (static_cast<std::size_t>(got) > kMaxMessageSize) continue;
                unsigned arrival = 0;
                for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                        in_pktinfo info;
                        std::memcpy(&info, CMSG_DATA(c), sizeof info);
                        arrival = static_cast<unsigned>(info.ipi_ifindex);
                    } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
                        in6_pktinfo info;
                        std::memcpy(&info, CMSG_DATA(c), sizeof info);
                        arrival = info.ipi6_ifindex;
                    }
                }
                if (std::find(interfaces_.begin(), interfaces_.end(), arrival) == interfaces_.end()) continue;
                handle(buffer.data(), static_cast<std::size_t>(got), from, arrival, fds[i].fd);
            }
        }
    }
}

void MdnsResponder::handle(const std::uint8_t* data, std::size_t length, const sockaddr_storage& from,
                           unsigned arrivalIndex, int socket) {
    Message& m = *message_;
    if (!parseMessage(data, length, m) || m.isResponse() || !m.isPlain() || m.questionCount == 0) return;
    const std::uint16_t sourcePort = ntohs(from.ss_family == AF_INET
                                               ? reinterpret_cast<const sockaddr_in*>(&from)->sin_port
                                               : reinterpret_cast<const sockaddr_in6*>(&from)->sin6_port);
    const bool legacy = sourcePort != kPort;

    // The addresses to give out for this interface.
    std::vector<in_addr> v4;
    std::vector<in6_addr> v6;
    in_addr a4;
    in6_addr a6;
    const bool any4 = bindAddress_ == "0.0.0.0" || bindAddress_.empty();
    const bool any6 = bindAddress_ == "::";
    if (inet_pton(AF_INET, bindAddress_.c_str(), &a4) == 1 && !any4) {
        v4.push_back(a4);
    } else if (inet_pton(AF_INET6, bindAddress_.c_str(), &a6) == 1 && !any6) {
        v6.push_back(a6);
    } else {
        char name[IF_NAMESIZE] = {};
        if (if_indextoname(arrivalIndex, name) == nullptr) return;
        for (const LocalAddress& a : interfaceAddresses(name)) {
            if (a.family == AF_INET) v4.push_back(a.v4.sin_addr);
            if (a.family == AF_INET6 && any6) v6.push_back(a.v6.sin6_addr);
        }
    }

    unsigned answers = 0;
    bool allUnicast = true;
    for (std::size_t i = 0; i < m.questionCount; ++i) {
        const Question& q = m.questions[i];
        allUnicast = allUnicast && q.unicastResponse;
        if (q.name.equals(servicesName_) && matches(q, kTypePtr)) answers |= kServices;
        if (q.name.equals(serviceName_) && matches(q, kTypePtr)) answers |= kPtr;
        if (q.name.equals(instanceName_) && matches(q, kTypeSrv)) answers |= kSrv;
        if (q.name.equals(instanceName_) && matches(q, kTypeTxt)) answers |= kTxt;
        if (q.name.equals(hostName_) && matches(q, kTypeA) && !v4.empty()) answers |= kAddr4;
        if (q.name.equals(hostName_) && matches(q, kTypeAaaa) && !v6.empty()) answers |= kAddr6;
    }
    if (answers == 0) return;
    unsigned additional = 0;
    if (answers & kPtr) additional |= kSrv | kTxt | kAddr4 | kAddr6;
    if (answers & kSrv) additional |= kAddr4 | kAddr6;
    additional &= ~answers;
    if (v4.empty()) additional &= ~kAddr4;
    if (v6.empty()) additional &= ~kAddr6;

    std::uint8_t out[kResponseSize];
    MessageWriter w(out, sizeof out, legacy ? m.id : 0, kFlagResponse | kFlagAuthoritative);
    if (legacy) {
        for (std::size_t i = 0; i < m.questionCount; ++i)
            w.addQuestion(m.questions[i].name, m.questions[i].type, m.questions[i].qclass);
    }
    auto ttl = [legacy](std::uint32_t t) { return legacy ? std::min(t, kLegacyTtl) : t; };
    const bool flush = !legacy;
    auto write = [&](Section section, unsigned kinds) {
        if (kinds & kServices) w.addPtr(section, servicesName_, ttl(kSharedTtl), serviceName_);
        if (kinds & kPtr) w.addPtr(section, serviceName_, ttl(kSharedTtl), instanceName_);
        if (kinds & kSrv) w.addSrv(section, instanceName_, ttl(kUniqueTtl), port_, hostName_, flush);
        if (kinds & kTxt) w.addTxt(section, instanceName_, ttl(kUniqueTtl), {}, flush);
        if (kinds & kAddr4)
            for (const in_addr& a : v4)
                w.addA(section, hostName_, ttl(kUniqueTtl), reinterpret_cast<const std::uint8_t*>(&a), flush);
        if (kinds & kAddr6)
            for (const in6_addr& a : v6)
                w.addAaaa(section, hostName_, ttl(kUniqueTtl), a.s6_addr, flush);
    };
    write(Section::Answer, answers);
    write(Section::Additional, additional);
    const std::size_t size = w.finish();
    if (size == 0) return;

    if (legacy || allUnicast) {
        const socklen_t len = from.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        sendto(socket, out, size, 0, reinterpret_cast<const sockaddr*>(&from), len);
        return;
    }
    if (from.ss_family == AF_INET) {
        ip_mreqn mi{};
        mi.imr_ifindex = static_cast<int>(arrivalIndex);
        setsockopt(socket, IPPROTO_IP, IP_MULTICAST_IF, &mi, sizeof mi);
        sockaddr_in group{};
        group.sin_family = AF_INET;
        group.sin_port = htons(kPort);
        inet_pton(AF_INET, "224.0.0.251", &group.sin_addr);
        sendto(socket, out, size, 0, reinterpret_cast<const sockaddr*>(&group), sizeof group);
    } else {
        setsockopt(socket, IPPROTO_IPV6, IPV6_MULTICAST_IF, &arrivalIndex, sizeof arrivalIndex);
        sockaddr_in6 group{};
        group.sin6_family = AF_INET6;
        group.sin6_port = htons(kPort);
        inet_pton(AF_INET6, "ff02::fb", &group.sin6_addr);
        group.sin6_scope_id = arrivalIndex;
        sendto(socket, out, size, 0, reinterpret_cast<const sockaddr*>(&group), sizeof group);
    }
}

}  // namespace tavin::phonesim
