#include "discovery/dns_sd_library.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace tavin::dnssd {

namespace {

// The library's own types, as its ABI fixes them: a reference is an opaque
// pointer, flags and interface indexes are 32-bit, errors signed 32-bit.
using LibRef = void*;
using LibBrowseReply = void (*)(LibRef, std::uint32_t, std::uint32_t, std::int32_t, const char*, const char*,
                                const char*, void*);
using LibResolveReply = void (*)(LibRef, std::uint32_t, std::uint32_t, std::int32_t, const char*, const char*,
                                 std::uint16_t, std::uint16_t, const unsigned char*, void*);
using LibAddrInfoReply = void (*)(LibRef, std::uint32_t, std::uint32_t, std::int32_t, const char*, const sockaddr*,
                                  std::uint32_t, void*);
using LibQueryRecordReply = void (*)(LibRef, std::uint32_t, std::uint32_t, std::int32_t, const char*, std::uint16_t,
                                     std::uint16_t, std::uint16_t, const void*, std::uint32_t, void*);

using RefSockFDFn = int (*)(LibRef);
using ProcessResultFn = std::int32_t (*)(LibRef);
using RefDeallocateFn = void (*)(LibRef);
using BrowseFn = std::int32_t (*)(LibRef*, std::uint32_t, std::uint32_t, const char*, const char*, LibBrowseReply,
                                  void*);
using ResolveFn = std::int32_t (*)(LibRef*, std::uint32_t, std::uint32_t, const char*, const char*, const char*,
                                   LibResolveReply, void*);
using GetAddrInfoFn = std::int32_t (*)(LibRef*, std::uint32_t, std::uint32_t, std::uint32_t, const char*,
                                       LibAddrInfoReply, void*);
using QueryRecordFn = std::int32_t (*)(LibRef*, std::uint32_t, std::uint32_t, const char*, std::uint16_t,
                                       std::uint16_t, LibQueryRecordReply, void*);

constexpr const char* kLibraryName = "libdns_sd.so.1";
constexpr std::uint16_t kTypeA = 1, kTypeAaaa = 28, kClassIn = 1;

enum Entry { kSockFD, kProcessResult, kDeallocate, kBrowse, kResolve, kGetAddrInfo, kQueryRecord, kEntryCount };
constexpr const char* kEntryNames[kEntryCount] = {
    "DNSServiceRefSockFD", "DNSServiceProcessResult", "DNSServiceRefDeallocate", "DNSServiceBrowse",
    "DNSServiceResolve",   "DNSServiceGetAddrInfo",   "DNSServiceQueryRecord",
};

// The library's state lives from the engine library's load to its unload;
// all of it is constant-initialised, so loading the engine runs no code.
std::mutex gLock;  // guards the use count, loading, unloading and the first look-up of each entry point
int gUses = 0;
std::atomic<void*> gHandle{nullptr};
std::atomic<void*> gEntries[kEntryCount];
std::atomic<bool> gLookedUp[kEntryCount];

void* entry(Entry e) {
    if (gLookedUp[e].load(std::memory_order_acquire)) return gEntries[e].load(std::memory_order_acquire);
    std::lock_guard<std::mutex> guard(gLock);
    void* handle = gHandle.load();
    if (handle == nullptr) return nullptr;  // not cached: a later load may still find it
    if (!gLookedUp[e].load()) {
        gEntries[e].store(dlsym(handle, kEntryNames[e]), std::memory_order_release);
        gLookedUp[e].store(true, std::memory_order_release);
    }
    return gEntries[e].load();
}

template <typename Fn>
Fn fn(Entry e) {
    return reinterpret_cast<Fn>(entry(e));
}

}  // namespace

// Every call that makes a reference in the library goes through here. The
// library keeps part of what it allocates then in its own globals (D-Bus
// state of Avahi's compatibility library), which is lost when the library
// is unloaded; the leak checker's suppression (tests/sanitizer/lsan.supp)
// names this function, and so only what the library allocated inside such
// a call. Never inlined, and its frame stays on the stack during the call.
// The library calls the handlers only from processResult, which does not
// come through here: what the engine allocates in them is not covered.
template <typename... P, typename... A>
[[gnu::noinline]] static std::int32_t callIntoLibrary(std::int32_t (*f)(P...), A... args) {
    const std::int32_t result = f(args...);
    asm volatile("" ::: "memory");
    return result;
}

struct Service {
    enum class Kind { Browse, Resolve, AddrInfo, AddrQuery } kind;
    LibRef refs[2] = {nullptr, nullptr};  // AddrQuery: the A and the AAAA query
    int waitFd = -1;                       // AddrQuery: an epoll descriptor over both queries
    void* context = nullptr;
    BrowseReply browseReply = nullptr;
    ResolveReply resolveReply = nullptr;
    AddrInfoReply addrReply = nullptr;
    bool dispatching = false;
    bool released = false;
};

namespace {

void releaseLibraryRefs(Service* s) {
    auto deallocate = fn<RefDeallocateFn>(kDeallocate);
    for (LibRef& r : s->refs) {
        if (r != nullptr && deallocate != nullptr) deallocate(r);
        r = nullptr;
    }
    if (s->waitFd >= 0) close(s->waitFd);
    s->waitFd = -1;
}

void onBrowse(LibRef, std::uint32_t flags, std::uint32_t interfaceIndex, std::int32_t error, const char* name,
              const char* type, const char* domain, void* context) {
    Service* s = static_cast<Service*>(context);
    if (!s->released) s->browseReply(s, flags, interfaceIndex, error, name, type, domain, s->context);
}

void onResolve(LibRef, std::uint32_t flags, std::uint32_t interfaceIndex, std::int32_t error, const char* fullName,
               const char* host, std::uint16_t portBe, std::uint16_t txtLength, const unsigned char* txt,
               void* context) {
    Service* s = static_cast<Service*>(context);
    if (!s->released)
        s->resolveReply(s, flags, interfaceIndex, error, fullName, host, portBe, txtLength, txt, s->context);
}

void onAddrInfo(LibRef, std::uint32_t flags, std::uint32_t interfaceIndex, std::int32_t error, const char* host,
                const sockaddr* address, std::uint32_t ttl, void* context) {
    Service* s = static_cast<Service*>(context);
    if (!s->released) s->addrReply(s, flags, interfaceIndex, error, host, address, ttl, s->context);
}

// An address record found by the emulated address query becomes a socket
// address with port 0. Removals and records of the wrong size are dropped.
void onAddressRecord(LibRef, std::uint32_t flags, std::uint32_t interfaceIndex, std::int32_t error,
                     const char* fullName, std::uint16_t type, std::uint16_t rclass, std::uint16_t dataLength,
                     const void* data, std::uint32_t ttl, void* context) {
    Service* s = static_cast<Service*>(context);
    if (s->released) return;
    if (error != kNoError) {
        s->addrReply(s, flags, interfaceIndex, error, fullName, nullptr, ttl, s->context);
        return;
    }
    if ((flags & kFlagsAdd) == 0 || data == nullptr || (rclass & 0x7FFF) != kClassIn) return;
    if (type == kTypeA && dataLength == 4) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        std::memcpy(&a.sin_addr, data, 4);
        s->addrReply(s, flags, interfaceIndex, kNoError, fullName, reinterpret_cast<const sockaddr*>(&a), ttl,
                     s->context);
    } else if (type == kTypeAaaa && dataLength == 16) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        std::memcpy(&a.sin6_addr, data, 16);
        // A link-local address is only usable with the interface it was
        // found on.
        if (IN6_IS_ADDR_LINKLOCAL(&a.sin6_addr)) a.sin6_scope_id = interfaceIndex;
        s->addrReply(s, flags, interfaceIndex, kNoError, fullName, reinterpret_cast<const sockaddr*>(&a), ttl,
                     s->context);
    }
}

std::int32_t startAddressQuery(ServiceRef* ref, std::uint32_t interfaceIndex, std::uint32_t protocol,
                               const char* hostName, AddrInfoReply callback, void* context) {
    auto query = fn<QueryRecordFn>(kQueryRecord);
    auto sockFd = fn<RefSockFDFn>(kSockFD);
    if (query == nullptr || sockFd == nullptr || fn<ProcessResultFn>(kProcessResult) == nullptr)
        return kServiceNotRunning;
    Service* s = new Service{Service::Kind::AddrQuery};
    s->addrReply = callback;
    s->context = context;
    s->waitFd = epoll_create1(EPOLL_CLOEXEC);
    if (s->waitFd < 0) {
        delete s;
        return kUnknownError;
    }
    const bool wantV4 = protocol == 0 || (protocol & kProtocolIPv4) != 0;
    const bool wantV6 = protocol == 0 || (protocol & kProtocolIPv6) != 0;
    const std::uint16_t types[2] = {kTypeA, kTypeAaaa};
    const bool wanted[2] = {wantV4, wantV6};
    std::int32_t result = kNoError;
    for (int i = 0; i < 2 && result == kNoError; ++i) {
        if (!wanted[i]) continue;
        result = callIntoLibrary(query, &s->refs[i], 0u, interfaceIndex, hostName, types[i], kClassIn,
                                 onAddressRecord, static_cast<void*>(s));
        if (result != kNoError) {
            s->refs[i] = nullptr;
            break;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<std::uint32_t>(i);
        const int fd = sockFd(s->refs[i]);
        if (fd < 0 || epoll_ctl(s->waitFd, EPOLL_CTL_ADD, fd, &ev) != 0) result = kUnknownError;
    }
    if (result != kNoError) {
        releaseLibraryRefs(s);
        delete s;
        return result;
    }
    *ref = s;
    return kNoError;
}

}  // namespace

LibraryUse::LibraryUse() {
    std::lock_guard<std::mutex> guard(gLock);
    if (gUses++ > 0) return;
    for (int e = 0; e < kEntryCount; ++e) {
        gEntries[e].store(nullptr);
        gLookedUp[e].store(false);
    }
    // The compatibility library prints a warning to the host's stderr on
    // first use unless told not to; a host's own setting is kept.
    setenv("AVAHI_COMPAT_NOWARN", "1", 0);
    gHandle.store(dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL));
}

LibraryUse::~LibraryUse() {
    std::lock_guard<std::mutex> guard(gLock);
    if (--gUses > 0) return;
    void* handle = gHandle.exchange(nullptr);
    for (int e = 0; e < kEntryCount; ++e) {
        gLookedUp[e].store(false);
        gEntries[e].store(nullptr);
    }
    if (handle != nullptr) dlclose(handle);
}

bool libraryLoaded() { return gHandle.load() != nullptr; }

int refSockFD(ServiceRef ref) {
    if (ref == nullptr || ref->released) return -1;
    if (ref->kind == Service::Kind::AddrQuery) return ref->waitFd;
    auto f = fn<RefSockFDFn>(kSockFD);
    return f != nullptr ? f(ref->refs[0]) : -1;
}

std::int32_t processResult(ServiceRef ref) {
    auto process = fn<ProcessResultFn>(kProcessResult);
    if (process == nullptr) return kServiceNotRunning;
    if (ref == nullptr || ref->released) return kUnknownError;
    ref->dispatching = true;
    std::int32_t result = kNoError;
    if (ref->kind == Service::Kind::AddrQuery) {
        auto sockFd = fn<RefSockFDFn>(kSockFD);
        for (int i = 0; i < 2 && !ref->released; ++i) {
            if (ref->refs[i] == nullptr || sockFd == nullptr) continue;
            pollfd p{sockFd(ref->refs[i]), POLLIN, 0};
            if (p.fd >= 0 && poll(&p, 1, 0) == 1 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                const std::int32_t r = process(ref->refs[i]);
                if (r != kNoError) result = r;
            }
        }
    } else {
        result = process(ref->refs[0]);
    }
    ref->dispatching = false;
    if (ref->released) delete ref;  // deallocated from inside its own callback
    return result;
}

void refDeallocate(ServiceRef ref) {
    if (ref == nullptr || ref->released) return;
    if (fn<RefDeallocateFn>(kDeallocate) == nullptr) return;
    // The library allows a reference to be deallocated from inside its own
    // callback; the wrapper's handle then lives until processResult returns.
    releaseLibraryRefs(ref);
    ref->released = true;
    if (!ref->dispatching) delete ref;
}

std::int32_t browse(ServiceRef* ref, std::uint32_t flags, std::uint32_t interfaceIndex, const char* regType,
                    const char* domain, BrowseReply callback, void* context) {
    auto f = fn<BrowseFn>(kBrowse);
    if (f == nullptr || fn<ProcessResultFn>(kProcessResult) == nullptr) return kServiceNotRunning;
    if (ref == nullptr || callback == nullptr) return kUnknownError;
    Service* s = new Service{Service::Kind::Browse};
    s->browseReply = callback;
    s->context = context;
    const std::int32_t result =
        callIntoLibrary(f, &s->refs[0], flags, interfaceIndex, regType, domain, onBrowse, static_cast<void*>(s));
    if (result != kNoError) {
        delete s;
        return result;
    }
    *ref = s;
    return kNoError;
}

std::int32_t resolve(ServiceRef* ref, std::uint32_t flags, std::uint32_t interfaceIndex, const char* name,
                     const char* regType, const char* domain, ResolveReply callback, void* context) {
    auto f = fn<ResolveFn>(kResolve);
    if (f == nullptr || fn<ProcessResultFn>(kProcessResult) == nullptr) return kServiceNotRunning;
    if (ref == nullptr || callback == nullptr) return kUnknownError;
    Service* s = new Service{Service::Kind::Resolve};
    s->resolveReply = callback;
    s->context = context;
    const std::int32_t result = callIntoLibrary(f, &s->refs[0], flags, interfaceIndex, name, regType, domain,
                                                onResolve, static_cast<void*>(s));
    if (result != kNoError) {
        delete s;
        return result;
    }
    *ref = s;
    return kNoError;
}

std::int32_t getAddrInfo(ServiceRef* ref, std::uint32_t flags, std::uint32_t interfaceIndex, std::uint32_t protocol,
                         const char* hostName, AddrInfoReply callback, void* context) {
    if (!libraryLoaded()) return kServiceNotRunning;
    if (ref == nullptr || callback == nullptr || hostName == nullptr) return kUnknownError;
    auto f = fn<GetAddrInfoFn>(kGetAddrInfo);
    if (f == nullptr) return startAddressQuery(ref, interfaceIndex, protocol, hostName, callback, context);
    if (fn<ProcessResultFn>(kProcessResult) == nullptr) return kServiceNotRunning;
    Service* s = new Service{Service::Kind::AddrInfo};
    s->addrReply = callback;
    s->context = context;
    const std::int32_t result = callIntoLibrary(f, &s->refs[0], flags, interfaceIndex, protocol, hostName,
                                                onAddrInfo, static_cast<void*>(s));
    if (result != kNoError) {
        delete s;
        return result;
    }
    *ref = s;
    return kNoError;
}

}  // namespace tavin::dnssd
