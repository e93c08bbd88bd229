// Finding phones on the local network: DNS-SD (through the system's
// libdns_sd.so.1 when its daemon answers, else the engine's own multicast
// DNS client) and multicast PhoneInfo announcements, all on one discovery
// thread. One per process, owned by the session layer of instance 0.
//
// Every phone found is reported through the sink's PhoneFound: DNS-SD
// results with kind 7 and an empty name (from libdns_sd the address has
// port 0, from the own client the instance's port; the port argument is
// the instance's port), announcements with the datagram's id, kind and
// name, the sender's address and port 4699. Reports come from the
// discovery thread and, for the own client, from that client's thread.
// Nothing is ever reported lost.
#pragma once

#include <atomic>
#include <memory>

#include "platform/thread.h"
#include "session/phone_sinks.h"
#include "session/protocol.h"

namespace tavin {

// The DNS-SD service type phones register, and its kind code in reports.
inline constexpr const char* kServiceType = "_tavinwebcam._tcp.";
inline constexpr const char* kServiceQueryName = "_tavinwebcam._tcp.local";
inline constexpr std::uint16_t kDnsSdPhoneKind = 7;
inline constexpr std::int32_t kBrowseRestarts = 10;

// A phone's instance name begins with its id as 32 hexadecimal characters.
// Each pair of characters is read as a base-16 number by strtoul's rules
// and cut to 8 bits ("3z" gives 3, "zz" gives 0). `name` must hold at
// least 32 characters.
PhoneId phoneIdFromInstanceName(const char* name);

class WifiDiscovery {
public:
    WifiDiscovery();
    ~WifiDiscovery();  // stops the thread
    WifiDiscovery(const WifiDiscovery&) = delete;
    WifiDiscovery& operator=(const WifiDiscovery&) = delete;

    // Stops a running discovery thread (clear running, join; the thread's
    // shutdown waits at most about 2 s for outstanding resolves), stores
    // the sink and, when it is not null, starts a new thread. Called on
    // engine threads only.
    void SetSink(NetworkPhoneSink* sink);

    // Sets the browse restarts left back to 10 (ERefresh).
    void refresh();

    // Stops the thread without changing the sink (the instance's close).
    void stop();

    // True while the discovery thread runs.
    bool running() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace tavin
