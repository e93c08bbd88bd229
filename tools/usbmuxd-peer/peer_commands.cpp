#include "peer_commands.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cstring>
#include <sstream>

namespace tavin::usbmuxpeer {

namespace {

template <class T>
bool parseNumber(std::string_view text, T& out, T min, T max) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value < min || value > max) return false;
    out = static_cast<T>(value);
    return true;
}

// "<device-port>=<address>:<port>", the address IPv4 or [IPv6].
bool parsePortTarget(std::string_view text, PortTarget& out) {
    const std::size_t eq = text.find('=');
    const std::size_t colon = text.rfind(':');
    if (eq == std::string_view::npos || colon == std::string_view::npos || colon < eq) return false;
    std::uint16_t targetPort = 0;
    if (!parseNumber<std::uint16_t>(text.substr(0, eq), out.devicePort, 1, 65535) ||
        !parseNumber<std::uint16_t>(text.substr(colon + 1), targetPort, 1, 65535))
        return false;
    std::string host(text.substr(eq + 1, colon - eq - 1));
    out.address = sockaddr_storage{};
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.address);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(targetPort);
        if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v6->sin6_addr) != 1) return false;
        out.addressLength = sizeof(sockaddr_in6);
        return true;
    }
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out.address);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(targetPort);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) != 1) return false;
    out.addressLength = sizeof(sockaddr_in);
    return true;
}

}  // namespace

std::optional<Command> parseCommand(std::string_view line, std::string& error) {
    std::istringstream words{std::string(line)};
    std::string verb;
    if (!(words >> verb)) return std::nullopt;
    Command command;
    std::string word;
    auto handle = [&]() {
        if (words >> word && parseNumber<std::uint32_t>(word, command.handle, 1, UINT32_MAX)) return true;
        error = "a handle (1 to 4294967295) is needed";
        return false;
    };
    if (verb == "attach") {
        command.kind = CommandKind::Attach;
        if (!handle()) return std::nullopt;
        if (!(words >> word) || (word != "usb" && word != "network")) {
            error = "usb or network is needed";
            return std::nullopt;
        }
        command.usb = word == "usb";
        while (words >> word) {
            PortTarget target;
            if (!parsePortTarget(word, target) || command.ports.size() >= kMaxPortsPerDevice) {
                error = "bad port '" + word + "' (device-port=address:port, at most 8)";
                return std::nullopt;
            }
            command.ports.push_back(target);
        }
    } else if (verb == "detach") {
        command.kind = CommandKind::Detach;
        if (!handle()) return std::nullopt;
    } else if (verb == "list") {
        command.kind = CommandKind::List;
    } else if (verb == "quit") {
        command.kind = CommandKind::Quit;
    } else {
        error = "unknown command '" + verb + "'";
        return std::nullopt;
    }
    if (command.kind != CommandKind::Attach && words >> word) {
        error = "unexpected '" + word + "'";
        return std::nullopt;
    }
    return command;
}

}  // namespace tavin::usbmuxpeer
