#include "discovery/wifi_discovery.h"

#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "discovery/dns_sd_library.h"
#include "discovery/mdns_client.h"
#include "discovery/multicast_listener.h"
#include "engine/error_record.h"
#include "platform/clock.h"

namespace tavin {

namespace {

constexpr double kBrowseRestartSpacing = 8.0;
constexpr int kRefWaitMs = 10;
constexpr int kPassSleepSteps = 5;
constexpr int kPassSleepStepMs = 100;
constexpr int kResolveWaitSteps = 20;
constexpr int kResolveWaitStepMs = 100;
constexpr std::size_t kIdCharacters = 32;

// Whether the own client's browse is restarted from time to time. The own
// client keeps asking by itself, so on this platform the answer is always
// "do not restart"; it is decided once per process.
enum class RestartDecision { Undecided, Restart, DoNotRestart };
std::atomic<RestartDecision> gRestartDecision{RestartDecision::Undecided};

RestartDecision restartDecision() {
    RestartDecision d = gRestartDecision.load();
    if (d == RestartDecision::Undecided) {
        d = RestartDecision::DoNotRestart;
        gRestartDecision.store(d);
    }
    return d;
}

struct AddressQuery {
    dnssd::ServiceRef resolveRef = nullptr;
    std::uint16_t portBe = 0;
    PhoneId id{};
};

struct BrowseContext;

// One resolve of the own client, from its start until its callback.
struct ResolveContext {
    mdns::CancelHandle cancel;
    BrowseContext* browse = nullptr;
};

// Resolves started and not yet called back, process-wide.
std::mutex gPendingLock;
std::vector<ResolveContext*> gPendingResolves;

}  // namespace

struct WifiDiscovery::State {
    std::atomic<NetworkPhoneSink*> sink{nullptr};
    platform::Thread thread;
    std::atomic<bool> running{false};
    std::atomic<std::int32_t> restartsLeft{0};

    // Used by the discovery thread only (the libdns_sd handlers run inside
    // processResult on that thread).
    std::vector<dnssd::ServiceRef> serviceRefs;
    std::map<dnssd::ServiceRef, AddressQuery> addressQueries;

    void run();
    void report(const PhoneId& id, const sockaddr* address, std::uint16_t portBe) {
        NetworkPhoneSink* s = sink.load();
        if (running.load() && s != nullptr) s->PhoneFound(id, kDnsSdPhoneKind, "", address, portBe);
    }
    void removeRef(dnssd::ServiceRef ref) {
        auto it = std::find(serviceRefs.begin(), serviceRefs.end(), ref);
        if (it == serviceRefs.end()) return;
        serviceRefs.erase(it);
        dnssd::refDeallocate(ref);
    }
};

namespace {

struct BrowseContext {
    WifiDiscovery::State* discovery = nullptr;
    mdns::MdnsClient* client = nullptr;
};

// libdns_sd handlers.

void onAddress(dnssd::ServiceRef ref, std::uint32_t, std::uint32_t, std::int32_t error, const char*,
               const sockaddr* address, std::uint32_t, void* context) {
    if (error != dnssd::kNoError) return;
    auto* d = static_cast<WifiDiscovery::State*>(context);
    dnssd::ServiceRef resolveRef = nullptr;
    auto it = d->addressQueries.find(ref);
    if (it != d->addressQueries.end()) {
        resolveRef = it->second.resolveRef;
        if (address != nullptr && (address->sa_family == AF_INET || address->sa_family == AF_INET6))
            d->report(it->second.id, address, it->second.portBe);
        d->addressQueries.erase(it);
    }
    // Only the first address of a resolution is used: both queries end here.
    d->removeRef(ref);
    if (resolveRef != nullptr) d->removeRef(resolveRef);
}

void onResolve(dnssd::ServiceRef ref, std::uint32_t, std::uint32_t interfaceIndex, std::int32_t error,
               const char* fullName, const char* hostTarget, std::uint16_t portBe, std::uint16_t,
               const unsigned char*, void* context) {
    if (error != dnssd::kNoError || fullName == nullptr || hostTarget == nullptr) return;
    auto* d = static_cast<WifiDiscovery::State*>(context);
    if (std::strlen(fullName) < kIdCharacters) {
        recordError(errors::kResolvedNameShort);
        return;  // the reference stays until shutdown
    }
    const PhoneId id = phoneIdFromInstanceName(fullName);
    dnssd::ServiceRef addressRef = nullptr;
    if (dnssd::getAddrInfo(&addressRef, 0, interfaceIndex, 0, hostTarget, onAddress, d) != dnssd::kNoError) return;
    if (d->addressQueries.find(addressRef) == d->addressQueries.end())
        d->addressQueries.emplace(addressRef, AddressQuery{ref, portBe, id});
    d->serviceRefs.push_back(addressRef);
}

void onBrowse(dnssd::ServiceRef, std::uint32_t, std::uint32_t interfaceIndex, std::int32_t error,
              const char* serviceName, const char* regType, const char* replyDomain, void* context) {
    if (error != dnssd::kNoError || serviceName == nullptr || regType == nullptr || replyDomain == nullptr) return;
    auto* d = static_cast<WifiDiscovery::State*>(context);
    // Added and removed instances alike are resolved; nothing is removed.
    dnssd::ServiceRef resolveRef = nullptr;
    if (dnssd::resolve(&resolveRef, 0, interfaceIndex, serviceName, regType, replyDomain, onResolve, d) ==
        dnssd::kNoError)
        d->serviceRefs.push_back(resolveRef);
}

// Own client callbacks (on the client's thread).

void onSystemResolve(std::uint32_t status, void* queryContext, const mdns::ServiceInstance* instance) {
    WifiDiscovery::State* d = nullptr;
    {
        std::lock_guard<std::mutex> guard(gPendingLock);
        auto* rc = static_cast<ResolveContext*>(queryContext);
        auto it = std::find(gPendingResolves.begin(), gPendingResolves.end(), rc);
        if (it != gPendingResolves.end()) {
            d = rc->browse->discovery;
            gPendingResolves.erase(it);
            delete rc;
        }
    }
    if (status != mdns::kStatusSuccess || d == nullptr || instance == nullptr) return;
    if (instance->instanceName.size() < kIdCharacters) {
        recordError(errors::kInstanceNameShort);
        return;
    }
    const PhoneId id = phoneIdFromInstanceName(instance->instanceName.c_str());
    const std::uint16_t portBe = htons(instance->port);
    if (instance->hasIpv4) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = portBe;
        a.sin_addr = instance->ipv4;
        d->report(id, reinterpret_cast<const sockaddr*>(&a), portBe);
    }
    if (instance->hasIpv6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = portBe;
        a.sin6_addr = instance->ipv6;
        // A link-local address needs the interface it was found on to be
        // reachable at all.
        if (IN6_IS_ADDR_LINKLOCAL(&a.sin6_addr)) a.sin6_scope_id = instance->interfaceIndex;
        d->report(id, reinterpret_cast<const sockaddr*>(&a), portBe);
    }
}

void onSystemBrowse(std::uint32_t status, void* queryContext, const mdns::BrowseRecord* records) {
    auto* bc = static_cast<BrowseContext*>(queryContext);
    if (status != mdns::kStatusSuccess && status != mdns::kStatusCancelled) recordError(errors::kBrowseStatus);
    for (const mdns::BrowseRecord* r = records; r != nullptr; r = r->next) {
        // Only names made of exactly the 32 id characters and the type.
        if (r->name.size() < kIdCharacters + 1 || r->name[kIdCharacters] != '.') continue;
        auto* rc = new ResolveContext{{}, bc};
        {
            std::lock_guard<std::mutex> guard(gPendingLock);
            gPendingResolves.push_back(rc);
        }
        mdns::ResolveRequest request;
        request.queryName = r->name;
        request.callback = onSystemResolve;
        request.queryContext = rc;
        // The context must not be touched after a start that succeeded: its
        // callback may already have deleted it.
        const std::uint32_t result = bc->client->resolve(request, &rc->cancel);
        if (result != mdns::kStatusRequestPending)
            recordError("mc.gle" + std::to_string(result), errors::kResolveNotStartedCode);
    }
}

}  // namespace

PhoneId phoneIdFromInstanceName(const char* name) {
    PhoneId id{};
    for (std::size_t i = 0; i < id.size(); ++i) {
        const char pair[3] = {name[2 * i], name[2 * i + 1], 0};
        id[i] = static_cast<std::uint8_t>(std::strtoul(pair, nullptr, 16) & 0xFF);
    }
    return id;
}

void WifiDiscovery::State::run() {
    restartsLeft.store(kBrowseRestarts);

    dnssd::ServiceRef browseRef = nullptr;
    const bool bonjour =
        dnssd::browse(&browseRef, 0, 0, kServiceType, nullptr, onBrowse, this) == dnssd::kNoError;
    if (bonjour) serviceRefs.push_back(browseRef);

    std::unique_ptr<mdns::MdnsClient> client;
    BrowseContext browseContext{this, nullptr};
    mdns::BrowseRequest browseRequest;
    mdns::CancelHandle browseCancel;
    if (!bonjour) {
        client = mdns::MdnsClient::open();
        if (client) {
            browseContext.client = client.get();
            browseRequest.queryName = kServiceQueryName;
            browseRequest.callback = onSystemBrowse;
            browseRequest.queryContext = &browseContext;
            client->browse(browseRequest, &browseCancel);
        }
    }
    double lastBrowse = platform::processClock();

    std::vector<std::unique_ptr<MulticastListener>> listeners = MulticastListener::openAll();

    while (running.load()) {
        // The array may change inside processResult: its size is read again
        // at every step.
        for (std::size_t i = 0; i < serviceRefs.size() && running.load(); ++i) {
            dnssd::ServiceRef ref = serviceRefs[i];
            const int fd = dnssd::refSockFD(ref);
            if (fd < 0) continue;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, kRefWaitMs) == 1 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0)
                dnssd::processResult(ref);
        }

        if (client && restartDecision() == RestartDecision::Restart && restartsLeft.load() > 0 &&
            platform::processClock() - lastBrowse > kBrowseRestartSpacing) {
            restartsLeft.fetch_sub(1);
            if (browseCancel.id != 0) client->browseCancel(&browseCancel);
            browseCancel = mdns::CancelHandle{};
            client->browse(browseRequest, &browseCancel);
            lastBrowse = platform::processClock();
        }

        NetworkPhoneSink* s = sink.load();
        for (auto& l : listeners) {
            if (!running.load() || s == nullptr) break;
            l->receive(*s, running);
        }

        for (int step = 0; step < kPassSleepSteps && running.load(); ++step) platform::sleepMs(kPassSleepStepMs);
    }

    // Shutdown.
    for (dnssd::ServiceRef ref : serviceRefs) dnssd::refDeallocate(ref);
    serviceRefs.clear();
    addressQueries.clear();
    if (client && browseCancel.id != 0) client->browseCancel(&browseCancel);

    auto ours = [&browseContext](const ResolveContext* rc) { return rc->browse == &browseContext; };
    for (int step = 0; step < kResolveWaitSteps; ++step) {
        {
            std::lock_guard<std::mutex> guard(gPendingLock);
            if (std::none_of(gPendingResolves.begin(), gPendingResolves.end(), ours)) break;
        }
        platform::sleepMs(kResolveWaitStepMs);
    }
    {
        std::lock_guard<std::mutex> guard(gPendingLock);
        auto mine = std::stable_partition(gPendingResolves.begin(), gPendingResolves.end(),
                                          [&ours](const ResolveContext* rc) { return !ours(rc); });
        for (auto it = mine; it != gPendingResolves.end(); ++it) delete *it;
        gPendingResolves.erase(mine, gPendingResolves.end());
    }
    listeners.clear();
    // Joins the client's thread: no callback can come after this.
    client.reset();
    running.store(false);
}

WifiDiscovery::WifiDiscovery() : state_(std::make_unique<State>()) {}

WifiDiscovery::~WifiDiscovery() { stop(); }

void WifiDiscovery::SetSink(NetworkPhoneSink* sink) {
    stop();
    state_->sink.store(sink);
    if (sink == nullptr) return;
    state_->running.store(true);
    State* s = state_.get();
    if (!state_->thread.start([s] { s->run(); })) state_->running.store(false);
}

void WifiDiscovery::refresh() { state_->restartsLeft.store(kBrowseRestarts); }

void WifiDiscovery::stop() {
    state_->running.store(false);
    state_->thread.join();
}

bool WifiDiscovery::running() const { return state_->running.load(); }

}  // namespace tavin
