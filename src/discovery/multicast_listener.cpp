#include "discovery/multicast_listener.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

#include "discovery/local_interfaces.h"
#include "engine/error_record.h"

namespace tavin {

namespace {

void setTimeouts(int fd) {
    timeval tv{};
    tv.tv_sec = kReceiveTimeoutMs / 1000;
    tv.tv_usec = (kReceiveTimeoutMs % 1000) * 1000;
    // Results not examined: a socket without them still works, only slower
    // to give up.
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

ip_mreq group4(const sockaddr_in& local) {
    ip_mreq m{};
    inet_pton(AF_INET, kAnnounceGroup4, &m.imr_multiaddr);
    m.imr_interface = local.sin_addr;
    return m;
}

ipv6_mreq group6(unsigned index) {
    ipv6_mreq m{};
    inet_pton(AF_INET6, kAnnounceGroup6, &m.ipv6mr_multiaddr);
    m.ipv6mr_interface = index;
    return m;
}

}  // namespace

bool readAnnouncement(const std::uint8_t* data, std::size_t length, protocol::PhoneInfoFields& out) {
    if (data == nullptr || length < protocol::phone_info::kSize || length > kMaxAnnouncementSize) return false;
    const std::uint32_t declared = protocol::headerLength(data);
    if (protocol::headerType(data) != protocol::kPhoneInfo || declared < protocol::phone_info::kSize ||
        declared > kMaxAnnouncementSize)
        return false;
    return protocol::parsePhoneInfo(data, length, out);
}

MulticastListener::~MulticastListener() {
    if (socket_ < 0) return;
    if (joined_) {
        if (isIpv4_) {
            ip_mreq m = group4(local_);
            setsockopt(socket_, IPPROTO_IP, IP_DROP_MEMBERSHIP, &m, sizeof m);
        } else {
            ipv6_mreq m = group6(interfaceIndex_);
            setsockopt(socket_, IPPROTO_IPV6, IPV6_DROP_MEMBERSHIP, &m, sizeof m);
        }
    }
    close(socket_);
}

std::vector<std::unique_ptr<MulticastListener>> MulticastListener::openAll() {
    std::vector<std::unique_ptr<MulticastListener>> listeners;
    for (const LocalAddress& a : usableLocalAddresses()) {
        std::unique_ptr<MulticastListener> l =
            a.family == AF_INET ? openIpv4(a.v4) : openIpv6(a.interfaceIndex);
        if (l) listeners.push_back(std::move(l));
    }
    return listeners;
}

std::unique_ptr<MulticastListener> MulticastListener::openIpv4(const sockaddr_in& local) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    std::unique_ptr<MulticastListener> l(new MulticastListener(true, fd));
    l->local_ = local;
    setTimeouts(fd);
    const int one = 1, zero = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Only the memberships of this socket count, so each listener hears its
    // own interface, not every group joined anywhere in the process.
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
    sockaddr_in bindTo{};
    bindTo.sin_family = AF_INET;
    bindTo.sin_port = htons(protocol::kAnnouncePort);
    bindTo.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&bindTo), sizeof bindTo) != 0) {
        recordError(errors::kMulticastBind4);
        return nullptr;
    }
    ip_mreq m = group4(local);
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) return nullptr;
    l->joined_ = true;
    return l;
}

std::unique_ptr<MulticastListener> MulticastListener::openIpv6(unsigned interfaceIndex) {
    const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    std::unique_ptr<MulticastListener> l(new MulticastListener(false, fd));
    l->interfaceIndex_ = interfaceIndex;
    setTimeouts(fd);
    const int one = 1, zero = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_ALL, &zero, sizeof zero);
    sockaddr_in6 bindTo{};
    bindTo.sin6_family = AF_INET6;
    bindTo.sin6_port = htons(protocol::kAnnouncePort);
    bindTo.sin6_addr = in6addr_any;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&bindTo), sizeof bindTo) != 0) {
        recordError(errors::kMulticastBind6);
        return nullptr;
    }
    ipv6_mreq m = group6(interfaceIndex);
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &m, sizeof m) != 0) return nullptr;
    l->joined_ = true;
    return l;
}

std::unique_ptr<MulticastListener> MulticastListener::adopt(int socket, bool isIpv4) {
    if (socket < 0) return nullptr;
    setTimeouts(socket);
    return std::unique_ptr<MulticastListener>(new MulticastListener(isIpv4, socket));
}

int MulticastListener::receive(NetworkPhoneSink& sink, const std::atomic<bool>& running) {
    int reported = 0;
    for (int i = 0; i < kMaxDatagramsPerPass && running.load(); ++i) {
        sockaddr_storage from{};
        socklen_t fromLength = isIpv4_ ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        // MSG_TRUNC makes the result the datagram's real length, so one that
        // did not fit the buffer is recognised.
        const ssize_t n = recvfrom(socket_, buffer_, sizeof buffer_, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from),
                                   &fromLength);
        if (n < static_cast<ssize_t>(protocol::phone_info::kSize) || n > static_cast<ssize_t>(kMaxAnnouncementSize))
            break;
        const int expectedFamily = isIpv4_ ? AF_INET : AF_INET6;
        protocol::PhoneInfoFields info;
        if (from.ss_family != expectedFamily || !readAnnouncement(buffer_, static_cast<std::size_t>(n), info))
            continue;
        if (!running.load()) break;
        sink.PhoneFound(info.id, info.kind, info.name, reinterpret_cast<const sockaddr*>(&from),
                        htons(protocol::kSessionPort));
        ++reported;
    }
    return reported;
}

}  // namespace tavin
