// The address-change notification on a routing netlink socket.
#include "platform/address_change.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tavin::platform {

namespace {

// reset() stops after this many messages, so that a flood of changes cannot
// keep it busy; what is left keeps the event signalled.
constexpr int kMaxDrainMessages = 1024;

}  // namespace

std::unique_ptr<AddressChangeEvent> AddressChangeEvent::open(int* error) {
    int scratch = 0;
    if (!error) error = &scratch;
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        *error = errno;
        close(fd);
        return nullptr;
    }
    *error = 0;
    return std::unique_ptr<AddressChangeEvent>(new AddressChangeEvent(fd));
}

AddressChangeEvent::~AddressChangeEvent() {
    if (fd_ >= 0) close(fd_);
}

bool AddressChangeEvent::isSignalled() const {
    pollfd p{fd_, POLLIN, 0};
    int n;
    do {
        n = poll(&p, 1, 0);
    } while (n < 0 && errno == EINTR);
    // An overrun (ENOBUFS shows as POLLERR) means changes were lost: that is
    // a change as well.
    return n > 0 && (p.revents & (POLLIN | POLLERR)) != 0;
}

void AddressChangeEvent::reset() {
    alignas(nlmsghdr) char buffer[8192];
    for (int i = 0; i < kMaxDrainMessages; ++i) {
        const ssize_t got = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got >= 0) continue;
        // ENOBUFS reports an overrun and clears it; keep draining.
        if (errno == EINTR || errno == ENOBUFS) continue;
        return;  // EAGAIN: nothing left
    }
}

}  // namespace tavin::platform
