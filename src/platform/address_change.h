// The PC's address-change notification: a non-blocking NETLINK_ROUTE socket
// subscribed to the IPv4 and IPv6 address groups. The event counts as
// signalled while the socket is readable; reset drains it.
#pragma once

#include <memory>

namespace tavin::platform {

class AddressChangeEvent {
public:
    // Null on failure, with the errno in *error.
    static std::unique_ptr<AddressChangeEvent> open(int* error);
    ~AddressChangeEvent();

    bool isSignalled() const;  // tests without waiting
    void reset();              // drains what is pending

private:
    explicit AddressChangeEvent(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace tavin::platform
