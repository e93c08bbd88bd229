// The commands the usbmuxd peer takes on its standard input, one per line:
//
//   attach <handle> <usb|network> <device-port>=<address>:<port>...
//       attaches a device (or announces a known handle again, replacing
//       its ports): a connection to a device port is proxied to the TCP
//       address given for it (an IPv4 address, or an IPv6 address in
//       brackets); other ports refuse connections
//   detach <handle>
//       announces the device's removal (also for a handle the peer does
//       not know) and ends its proxied connections
//   list
//   quit
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavin::usbmuxpeer {

inline constexpr std::size_t kMaxPortsPerDevice = 8;

struct PortTarget {
    std::uint16_t devicePort = 0;
    sockaddr_storage address{};
    socklen_t addressLength = 0;
};

enum class CommandKind { Attach, Detach, List, Quit };

struct Command {
    CommandKind kind = CommandKind::Quit;
    std::uint32_t handle = 0;
    bool usb = true;
    std::vector<PortTarget> ports;
};

// Nothing for a blank line; nothing with `error` set for a malformed one.
std::optional<Command> parseCommand(std::string_view line, std::string& error);

}  // namespace tavin::usbmuxpeer
