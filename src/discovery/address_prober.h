// Phones added by address (EAddPhoneAddress): each address is probed every
// 2 s (connect within 2 s, read one PhoneInfo within 2 s; the probe port
// 4697 first, then the session port) until a probe answers; the phone is
// then reported through the network sink with its session port, like any
// network phone. One per process, among the services engine instance 0
// owns (engine/engine_context.h); its thread runs while a sink is set.
//
// Setting a sink again (the instance reopened, or an address change) probes
// every address again, since the phone registry starts empty then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "session/phone_sinks.h"

namespace tavin {

struct ParsedPhoneAddress {
    std::string host;          // IPv4 text, IPv6 text without brackets (zone kept), or a host name
    std::uint16_t port = 4699; // session port
    bool operator==(const ParsedPhoneAddress&) const = default;
};

// Parses "a.b.c.d", "[v6]" or "[v6%zone]", a bare IPv6 address, or a host
// name, each but the bare IPv6 address with an optional ":port"
// (1..65535, decimal). At most 255 characters, none of them NUL. False for
// anything else.
bool parsePhoneAddress(std::string_view text, ParsedPhoneAddress& out);

// The number of addresses kept; adding one more drops the oldest.
inline constexpr std::size_t kMaxProbedAddresses = 16;
inline constexpr int kProbeIntervalMs = 2000;
inline constexpr int kProbeConnectTimeoutMs = 2000;
inline constexpr int kProbeReadTimeoutMs = 2000;

class AddressProber {
public:
    AddressProber();
    ~AddressProber();  // stops the thread
    AddressProber(const AddressProber&) = delete;
    AddressProber& operator=(const AddressProber&) = delete;

    // Adds an address to probe; -1 when it does not parse (nothing else is
    // done then), else 0. Adding a known address probes it again.
    int add(const char* address);

    // The sink that hears found phones; null stops the thread. Called by
    // instance 0 when it opens and closes.
    void SetSink(NetworkPhoneSink* sink);

    // The number of kept addresses (for tests and tools).
    std::size_t addressCount() const;

private:
    struct State;
    State* state_;
};

}  // namespace tavin
