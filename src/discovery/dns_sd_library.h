// The system's DNS-SD client library, libdns_sd.so.1, reached through
// dlopen so that the engine runs without it.
//
// The library is loaded while a LibraryUse lives (engine instance 0's
// process-wide services hold one from its construction to its
// destruction) and released when the last one goes. Each entry point is
// looked up by name on its first use. Six wrappers stand for
// the entry points the discovery uses; when the library or an entry point
// is missing, refSockFD returns -1, refDeallocate does nothing and the
// other four return kServiceNotRunning.
//
// Service references of the wrappers are their own handles, not the
// library's: a library without DNSServiceGetAddrInfo (Avahi's compatibility
// library has none) gets that call answered here with DNSServiceQueryRecord
// for the host's A and AAAA records, and the address handler still receives
// a socket address (port 0). Such a handle waits on both queries at once
// through one descriptor. Callbacks run inside processResult on the
// caller's thread and receive the wrapper's handle; a handle may be
// deallocated from inside its own callback.
#pragma once

#include <sys/socket.h>

#include <cstdint>

namespace tavin::dnssd {

struct Service;
using ServiceRef = Service*;

inline constexpr std::int32_t kNoError = 0;
inline constexpr std::int32_t kServiceNotRunning = -65563;  // 0xFFFEFFE5
inline constexpr std::int32_t kUnknownError = -65537;
inline constexpr std::uint32_t kFlagsAdd = 0x2;
inline constexpr std::uint32_t kProtocolIPv4 = 0x01;
inline constexpr std::uint32_t kProtocolIPv6 = 0x02;

using BrowseReply = void (*)(ServiceRef ref, std::uint32_t flags, std::uint32_t interfaceIndex, std::int32_t error,
                             const char* serviceName, const char* regType, const char* replyDomain, void* context);
// `portBe` is in network byte order, as the library gives it.
using ResolveReply = void (*)(ServiceRef ref, std::uint32_t flags, std::uint32_t interfaceIndex, std::int32_t error,
                              const char* fullName, const char* hostTarget, std::uint16_t portBe,
                              std::uint16_t txtLength, const unsigned char* txtRecord, void* context);
using AddrInfoReply = void (*)(ServiceRef ref, std::uint32_t flags, std::uint32_t interfaceIndex, std::int32_t error,
                               const char* hostName, const sockaddr* address, std::uint32_t ttl, void* context);

int refSockFD(ServiceRef ref);
std::int32_t processResult(ServiceRef ref);
void refDeallocate(ServiceRef ref);
std::int32_t browse(ServiceRef* ref, std::uint32_t flags, std::uint32_t interfaceIndex, const char* regType,
                    const char* domain, BrowseReply callback, void* context);
std::int32_t resolve(ServiceRef* ref, std::uint32_t flags, std::uint32_t interfaceIndex, const char* name,
                     const char* regType, const char* domain, ResolveReply callback, void* context);
// `protocol` 0 asks for both IPv4 and IPv6 addresses.
std::int32_t getAddrInfo(ServiceRef* ref, std::uint32_t flags, std::uint32_t interfaceIndex, std::uint32_t protocol,
                         const char* hostName, AddrInfoReply callback, void* context);

// Holds the library loaded while it lives. The first use loads it: it sets
// AVAHI_COMPAT_NOWARN=1 first (unless the host set it), since the
// compatibility library otherwise prints a warning on the host's stderr.
// The last one releases the library and forgets every cached entry point;
// no service reference may be alive then. Any thread.
class LibraryUse {
public:
    LibraryUse();
    ~LibraryUse();
    LibraryUse(const LibraryUse&) = delete;
    LibraryUse& operator=(const LibraryUse&) = delete;
};

// True while the library is loaded (it may be missing although a
// LibraryUse lives).
bool libraryLoaded();

}  // namespace tavin::dnssd
