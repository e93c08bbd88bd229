// USB uevents and the resume check.
#include "platform/device_notifications.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string_view>

#include "platform/clock.h"

namespace tavin::platform {

namespace {

// The multicast group on which the kernel sends its uevents (udev re-sends
// them on group 2 with a header of its own; those are not read).
constexpr std::uint32_t kKernelUeventGroup = 1;
// Larger messages are cut to this; the keys read here come early.
constexpr std::size_t kUeventBufferSize = 8192;
// wait() takes at most this many messages; the rest keep the socket
// readable for the next call.
constexpr int kMaxMessagesPerWait = 64;

double clockSeconds(clockid_t id) {
    timespec t{};
    clock_gettime(id, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

class BootClock final : public SleepClock {
public:
    double sleptSeconds() override { return clockSeconds(CLOCK_BOOTTIME) - clockSeconds(CLOCK_MONOTONIC); }
};

// The value of `key` ("SUBSYSTEM=") among the NUL-separated fields after
// the first one; empty when absent.
std::string_view field(std::string_view message, std::string_view key) {
    std::size_t start = message.find('\0');
    while (start != std::string_view::npos && start + 1 < message.size()) {
        ++start;
        std::size_t end = message.find('\0', start);
        std::string_view item = message.substr(start, end == std::string_view::npos ? std::string_view::npos
                                                                                      : end - start);
        if (item.substr(0, key.size()) == key) return item.substr(key.size());
        start = end;
    }
    return {};
}

}  // namespace

SleepClock& systemSleepClock() {
    static BootClock clock;
    return clock;
}

DeviceChange parseUsbUevent(const std::uint8_t* data, std::size_t length) {
    if (data == nullptr || length == 0) return DeviceChange::None;
    const std::string_view message(reinterpret_cast<const char*>(data), length);
    // A kernel message begins with "ACTION@DEVPATH".
    const std::string_view head = message.substr(0, message.find('\0'));
    if (head.find('@') == std::string_view::npos) return DeviceChange::None;
    if (field(message, "SUBSYSTEM=") != "usb" || field(message, "DEVTYPE=") != "usb_device")
        return DeviceChange::None;
    const std::string_view action = field(message, "ACTION=");
    if (action == "add") return DeviceChange::Arrived;
    if (action == "remove") return DeviceChange::Removed;
    return DeviceChange::None;
}

DeviceNotifications::DeviceNotifications(SleepClock& clock) : clock_(clock), lastSlept_(clock.sleptSeconds()) {
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) return;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = kKernelUeventGroup;
    const int one = 1;
    // Credentials come with every message, so that only root's count.
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &one, sizeof one) != 0) {
        close(fd);
        return;
    }
    fd_ = fd;
}

DeviceNotifications::~DeviceNotifications() {
    if (fd_ >= 0) close(fd_);
}

DeviceChange DeviceNotifications::drain() {
    DeviceChange last = DeviceChange::None;
    alignas(nlmsghdr) std::uint8_t buffer[kUeventBufferSize];
    alignas(cmsghdr) std::uint8_t control[CMSG_SPACE(sizeof(ucred))];
    for (int i = 0; i < kMaxMessagesPerWait; ++i) {
        iovec io{buffer, sizeof buffer};
        msghdr header{};
        header.msg_iov = &io;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        const ssize_t got = recvmsg(fd_, &header, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR) continue;
            // Events were dropped for want of room: one may have been an
            // arrival, so look again soon.
            if (errno == ENOBUFS) {
                last = DeviceChange::Arrived;
                continue;
            }
            break;  // EAGAIN: nothing left
        }
        const cmsghdr* c = CMSG_FIRSTHDR(&header);
        if (c == nullptr || c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_CREDENTIALS) continue;
        ucred sender;
        std::memcpy(&sender, CMSG_DATA(c), sizeof sender);
        if (sender.uid != 0) continue;
        const std::size_t length = std::min(static_cast<std::size_t>(got), sizeof buffer);
        const DeviceChange change = parseUsbUevent(buffer, length);
        if (change != DeviceChange::None) last = change;
    }
    return last;
}

DeviceChange DeviceNotifications::wait(int timeoutMs) {
    DeviceChange change = DeviceChange::None;
    if (fd_ >= 0) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, std::max(timeoutMs, 0)) > 0) change = drain();
    } else {
        sleepMs(timeoutMs);
    }
    const double slept = clock_.sleptSeconds();
    if (slept - lastSlept_ > kResumeJumpSeconds) change = DeviceChange::Resumed;
    lastSlept_ = slept;
    return change;
}

}  // namespace tavin::platform
