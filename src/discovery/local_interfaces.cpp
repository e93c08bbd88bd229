#include "discovery/local_interfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstring>

namespace tavin {

namespace {

template <typename Accept>
std::vector<LocalAddress> collect(Accept accept) {
    std::vector<LocalAddress> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* a = list; a != nullptr && out.size() < kMaxLocalAddresses; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_name == nullptr) continue;
        const int family = a->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        if (!accept(*a)) continue;
        LocalAddress local;
        local.family = family;
        local.interfaceName = a->ifa_name;
        local.interfaceIndex = if_nametoindex(a->ifa_name);
        if (family == AF_INET) {
            std::memcpy(&local.v4, a->ifa_addr, sizeof local.v4);
            local.v4.sin_port = 0;
        } else {
            std::memcpy(&local.v6, a->ifa_addr, sizeof local.v6);
            local.v6.sin6_port = 0;
        }
        out.push_back(std::move(local));
    }
    freeifaddrs(list);
    return out;
}

}  // namespace

std::vector<LocalAddress> usableLocalAddresses() {
    return collect([](const ifaddrs& a) {
        const unsigned flags = a.ifa_flags;
        return (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0 && (flags & IFF_LOOPBACK) == 0 &&
               (flags & IFF_POINTOPOINT) == 0;
    });
}

std::vector<LocalAddress> interfaceAddresses(std::string_view name) {
    return collect([name](const ifaddrs& a) { return name == a.ifa_name; });
}

}  // namespace tavin
