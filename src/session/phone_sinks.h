// The interfaces through which discovery reports phones. Implemented by the
// session layer of an engine instance on top of the PhoneRegistry; handed to
// the discovery services, which never own them. Callable from any thread.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string_view>

#include "session/protocol.h"

namespace tavin {

class NetworkPhoneSink {
public:
    virtual ~NetworkPhoneSink() = default;
    // `address` is a sockaddr_in or sockaddr_in6; `portBe` (network byte
    // order) replaces its port.
    virtual void PhoneFound(const PhoneId& id, std::uint16_t kind, std::string_view name,
                            const sockaddr* address, std::uint16_t portBe) = 0;
};

class IosPhoneSink {
public:
    virtual ~IosPhoneSink() = default;
    virtual void PhoneFound(const PhoneId& id, std::uint16_t kind, std::uint32_t handle, bool isUsb,
                            std::string_view name) = 0;
    virtual void PhoneLost(std::uint32_t handle) = 0;
};

class AndroidPhoneSink {
public:
    virtual ~AndroidPhoneSink() = default;
    virtual void PhoneFound(const PhoneId& id, std::uint16_t kind, std::string_view name,
                            std::uint16_t localPort) = 0;
    virtual void PhoneLost(const PhoneId& id) = 0;
};

}  // namespace tavin
