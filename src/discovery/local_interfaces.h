// The local addresses discovery works on, from getifaddrs: an interface is
// usable when it is up and running (IFF_UP and IFF_RUNNING) and is neither
// the software loopback (IFF_LOOPBACK) nor a tunnel (IFF_POINTOPOINT).
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tavin {

struct LocalAddress {
    int family = 0;  // AF_INET or AF_INET6
    std::string interfaceName;
    unsigned interfaceIndex = 0;  // if_nametoindex
    sockaddr_in v4{};             // AF_INET: the unicast address (port 0)
    sockaddr_in6 v6{};            // AF_INET6: the unicast address (port 0)
};

// More addresses than this are not taken.
inline constexpr std::size_t kMaxLocalAddresses = 64;

// Every IPv4 and IPv6 unicast address of the usable interfaces, in the
// order getifaddrs gives them. Empty when getifaddrs fails.
std::vector<LocalAddress> usableLocalAddresses();

// Every IPv4 and IPv6 address of the interface with this name, whatever its
// flags (the phone tools serve the interfaces they are told to).
std::vector<LocalAddress> interfaceAddresses(std::string_view name);

}  // namespace tavin
