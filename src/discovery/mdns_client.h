// The engine's own multicast DNS client (RFC 6762, RFC 6763): the DNS-SD
// back-end used when the system's DNS-SD daemon cannot be reached. It is
// shaped like a browse / resolve API with cancel handles:
//
// - browse (PTR of a service type such as "_tavinwebcam._tcp.local")
//   reports, in a callback, each service instance name when it is first
//   seen (and again when it comes back after its TTL ran out or a goodbye),
//   and keeps asking at growing intervals (1 s doubling to 60 s)
//   until it is cancelled;
// - resolve (an instance name) asks for its SRV and TXT records, then for
//   the A and AAAA records of the SRV host, and reports one instance with
//   its port and its IPv4 and IPv6 addresses, or a time-out status.
//
// Queries are one-shot queries sent from an ephemeral port to 224.0.0.251
// and ff02::fb port 5353 on every usable interface, so responders answer by
// unicast to this client. A response is accepted only when it comes from
// port 5353, carries the id of a query that is still open, and then only
// its answer records whose name, type and class are what that query asked;
// additional records, unsolicited records and malformed datagrams are
// dropped. Callbacks run on the client's own thread, never while the
// client's lock is held, so they may call the client again.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tavin::mdns {

// Status values (the numbers the browse and resolve callbacks and the
// start functions give).
inline constexpr std::uint32_t kStatusSuccess = 0;
inline constexpr std::uint32_t kStatusNotEnoughMemory = 8;   // too many open requests
inline constexpr std::uint32_t kStatusInvalidParameter = 87;
inline constexpr std::uint32_t kStatusCancelled = 1223;
inline constexpr std::uint32_t kStatusTimeout = 1460;
inline constexpr std::uint32_t kStatusRequestPending = 9506;

// A cancel handle; filled in by a start that returns kStatusRequestPending,
// before the request can call back.
struct CancelHandle {
    std::uint64_t id = 0;  // 0: none
};

// One browse result: a service instance name in presentation form
// ("<instance>.<type>.local", without the trailing dot).
struct BrowseRecord {
    const BrowseRecord* next = nullptr;
    std::string name;
    std::uint32_t ttl = 0;
};

struct ServiceInstance {
    std::string instanceName;  // as asked
    std::string hostName;      // the SRV target
    std::uint16_t port = 0;    // host byte order
    bool hasIpv4 = false;
    in_addr ipv4{};
    bool hasIpv6 = false;
    in6_addr ipv6{};
    std::uint32_t interfaceIndex = 0;  // where the SRV answer came in
    std::vector<std::string> txt;      // TXT strings, at most 16
};

// The records and the instance are valid during the callback only.
using BrowseCallback = void (*)(std::uint32_t status, void* queryContext, const BrowseRecord* records);
using ResolveCallback = void (*)(std::uint32_t status, void* queryContext, const ServiceInstance* instance);

struct BrowseRequest {
    std::uint32_t version = 1;
    std::uint32_t interfaceIndex = 0;  // 0: every usable interface
    std::string queryName;             // the service type, e.g. "_tavinwebcam._tcp.local"
    BrowseCallback callback = nullptr;
    void* queryContext = nullptr;
};

struct ResolveRequest {
    std::uint32_t version = 1;
    std::uint32_t interfaceIndex = 0;
    std::string queryName;  // the instance name, as a browse reported it
    ResolveCallback callback = nullptr;
    void* queryContext = nullptr;
};

// Limits of one client.
inline constexpr std::size_t kMaxOpenRequests = 32;
inline constexpr std::size_t kMaxNamesPerBrowse = 64;
inline constexpr double kResolveTimeoutSeconds = 5.0;

class MdnsClient {
public:
    // Opens the client's sockets and starts its thread. Null when neither
    // an IPv4 nor an IPv6 socket can be opened or the thread cannot start.
    static std::unique_ptr<MdnsClient> open();
    // Drops every open request without calling back and joins the thread.
    ~MdnsClient();
    MdnsClient(const MdnsClient&) = delete;
    MdnsClient& operator=(const MdnsClient&) = delete;

    // kStatusRequestPending when the browse started (the handle is set),
    // else kStatusInvalidParameter or kStatusNotEnoughMemory.
    std::uint32_t browse(const BrowseRequest& request, CancelHandle* cancel);
    std::uint32_t resolve(const ResolveRequest& request, CancelHandle* cancel);

    // Ends a request without calling back. When its callback is running on
    // another thread, waits for that call to return (a call from inside the
    // callback does not wait). kStatusSuccess, or kStatusInvalidParameter
    // for a handle that is unknown or already finished.
    std::uint32_t browseCancel(CancelHandle* cancel);
    std::uint32_t resolveCancel(CancelHandle* cancel);

private:
    MdnsClient();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tavin::mdns
