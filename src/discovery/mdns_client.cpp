#include "discovery/mdns_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <random>

#include "discovery/local_interfaces.h"
#include "discovery/mdns_message.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace tavin::mdns {

namespace {

constexpr const char* kGroup4 = "224.0.0.251";
constexpr const char* kGroup6 = "ff02::fb";
constexpr double kFirstInterval = 1.0;
constexpr double kBrowseMaxInterval = 60.0;
// After the first address of a resolve arrives, the other family gets this
// long to arrive too.
constexpr double kSecondAddressWait = 0.3;
constexpr std::size_t kMaxTxtStrings = 16;
constexpr int kMaxDatagramsPerWake = 32;
constexpr std::size_t kQueryBufferSize = 512;

struct Request {
    std::uint64_t id = 0;
    bool isBrowse = true;
    std::uint32_t interfaceIndex = 0;
    void* context = nullptr;
    BrowseCallback browseCallback = nullptr;
    ResolveCallback resolveCallback = nullptr;

    // The query now being asked.
    std::uint16_t transaction = 0;
    DnsName askName;
    std::uint16_t askTypes[2] = {0, 0};
    std::size_t askCount = 0;
    double nextSend = 0.0;
    double interval = kFirstInterval;

    // Browse: the names reported, each until its TTL runs out.
    struct Seen {
        DnsName name;
        double expires = 0.0;
    };
    std::vector<Seen> seen;

    // Resolve.
    std::string instanceText;
    bool addressStage = false;
    bool haveSrv = false;
    bool haveTxt = false;
    DnsName host;
    ServiceInstance instance;
    double deadline = 0.0;
    double completeAt = 0.0;  // 0: not yet
    bool finished = false;     // the final callback is queued
};

struct Event {
    std::uint64_t id = 0;
    bool isBrowse = true;
    std::uint32_t status = kStatusSuccess;
    std::vector<BrowseRecord> records;
    std::optional<ServiceInstance> instance;
};

struct Outgoing {
    std::uint32_t interfaceIndex = 0;
    std::vector<std::uint8_t> bytes;
};

}  // namespace

struct MdnsClient::Impl {
    int socket4 = -1;
    int socket6 = -1;
    int wakeFd = -1;
    platform::Thread thread;
    std::atomic<bool> running{false};

    std::mutex lock;
    std::condition_variable dispatchDone;
    std::map<std::uint64_t, Request> requests;
    std::uint64_t nextId = 1;
    std::uint64_t dispatching = 0;  // the request whose callback runs now
    std::mt19937 rng;

    // Used by the client thread only.
    std::unique_ptr<Message> message = std::make_unique<Message>();
    std::uint8_t receiveBuffer[kMaxMessageSize + 1];

    ~Impl() {
        for (int fd : {socket4, socket6, wakeFd})
            if (fd >= 0) close(fd);
    }

    void wake() {
        const std::uint64_t one = 1;
        if (wakeFd >= 0) {
            [[maybe_unused]] ssize_t n = write(wakeFd, &one, sizeof one);
        }
    }

    std::uint16_t freshTransaction() {
        for (;;) {
            const std::uint16_t t = static_cast<std::uint16_t>(rng() & 0xFFFF);
            if (t == 0) continue;
            bool used = false;
            for (const auto& [id, r] : requests) used = used || r.transaction == t;
            if (!used) return t;
        }
    }

    std::uint32_t start(Request request, CancelHandle* cancel);
    std::uint32_t cancel(CancelHandle* cancel, bool browse);
    void run();
    void sendDue(double now, std::vector<Outgoing>& out, std::vector<Event>& events, double& nextWake);
    void sendAll(const std::vector<Outgoing>& out);
    void deliver(std::vector<Event>& events);
    void receive(int fd, std::vector<Event>& events);
    void handleResponse(const Message& m, const std::uint8_t* data, std::uint32_t arrivalIndex,
                        std::vector<Event>& events);
};

namespace {

Event completion(Request& r) {
    Event e;
    e.id = r.id;
    e.isBrowse = false;
    r.finished = true;
    if (r.haveSrv && (r.instance.hasIpv4 || r.instance.hasIpv6)) {
        e.status = kStatusSuccess;
        e.instance = r.instance;
    } else {
        e.status = kStatusTimeout;
    }
    return e;
}

std::vector<std::uint8_t> buildQuery(const Request& r) {
    std::vector<std::uint8_t> bytes(kQueryBufferSize);
    MessageWriter w(bytes.data(), bytes.size(), r.transaction, 0);
    for (std::size_t i = 0; i < r.askCount; ++i) w.addQuestion(r.askName, r.askTypes[i]);
    bytes.resize(w.finish());
    return bytes;
}

int openSocket(int family) {
    const int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    const int one = 1, hops = 255;
    bool ok = true;
    if (family == AF_INET) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops);
        setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    } else {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_any;
        ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops);
        setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one);
    }
    if (!ok) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

MdnsClient::MdnsClient() : impl_(std::make_unique<Impl>()) {}

MdnsClient::~MdnsClient() {
    impl_->running.store(false);
    impl_->wake();
    impl_->thread.join();
}

std::unique_ptr<MdnsClient> MdnsClient::open() {
    std::unique_ptr<MdnsClient> client(new MdnsClient());
    Impl& impl = *client->impl_;
    impl.socket4 = openSocket(AF_INET);
    impl.socket6 = openSocket(AF_INET6);
    impl.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if ((impl.socket4 < 0 && impl.socket6 < 0) || impl.wakeFd < 0) return nullptr;
    std::random_device seed;
    impl.rng.seed(seed());
    impl.running.store(true);
    if (!impl.thread.start([&impl] { impl.run(); })) return nullptr;
    return client;
}

std::uint32_t MdnsClient::browse(const BrowseRequest& request, CancelHandle* cancel) {
    Request r;
    r.isBrowse = true;
    if (request.version != 1 || request.callback == nullptr || cancel == nullptr ||
        !DnsName::fromText(request.queryName, r.askName))
        return kStatusInvalidParameter;
    r.interfaceIndex = request.interfaceIndex;
    r.context = request.queryContext;
    r.browseCallback = request.callback;
    r.askTypes[0] = kTypePtr;
    r.askCount = 1;
    return impl_->start(std::move(r), cancel);
}

std::uint32_t MdnsClient::resolve(const ResolveRequest& request, CancelHandle* cancel) {
    Request r;
    r.isBrowse = false;
    if (request.version != 1 || request.callback == nullptr || cancel == nullptr ||
        !DnsName::fromText(request.queryName, r.askName))
        return kStatusInvalidParameter;
    r.interfaceIndex = request.interfaceIndex;
    r.context = request.queryContext;
    r.resolveCallback = request.callback;
    r.askTypes[0] = kTypeSrv;
    r.askTypes[1] = kTypeTxt;
    r.askCount = 2;
    r.instance.instanceName = request.queryName;
    return impl_->start(std::move(r), cancel);
}

std::uint32_t MdnsClient::browseCancel(CancelHandle* cancel) { return impl_->cancel(cancel, true); }
std::uint32_t MdnsClient::resolveCancel(CancelHandle* cancel) { return impl_->cancel(cancel, false); }

std::uint32_t MdnsClient::Impl::start(Request r, CancelHandle* cancel) {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (requests.size() >= kMaxOpenRequests) return kStatusNotEnoughMemory;
        const double now = platform::processClock();
        r.id = nextId++;
        r.transaction = freshTransaction();
        r.nextSend = now;
        r.deadline = now + kResolveTimeoutSeconds;
        // The handle is written before the request is visible to the
        // client thread, so a callback never races with this write.
        cancel->id = r.id;
        requests.emplace(r.id, std::move(r));
    }
    wake();
    return kStatusRequestPending;
}

std::uint32_t MdnsClient::Impl::cancel(CancelHandle* handle, bool browse) {
    if (handle == nullptr || handle->id == 0) return kStatusInvalidParameter;
    const std::uint64_t id = handle->id;
    std::unique_lock<std::mutex> guard(lock);
    auto it = requests.find(id);
    const bool found = it != requests.end() && it->second.isBrowse == browse;
    if (found) requests.erase(it);
    if (!thread.isCurrent()) {
        // Bounded steps; the wait ends when the running callback returns.
        while (dispatching == id) dispatchDone.wait_for(guard, std::chrono::milliseconds(10));
    }
    handle->id = 0;
    return found ? kStatusSuccess : kStatusInvalidParameter;
}

void MdnsClient::Impl::run() {
    std::vector<Outgoing> out;
    std::vector<Event> events;
    while (running.load()) {
        out.clear();
        events.clear();
        double nextWake = 0.0;
        const double now = platform::processClock();
        sendDue(now, out, events, nextWake);
        sendAll(out);
        deliver(events);

        int timeoutMs = static_cast<int>((nextWake - platform::processClock()) * 1000.0);
        timeoutMs = std::clamp(timeoutMs, 10, 100);
        pollfd fds[3] = {{wakeFd, POLLIN, 0}, {socket4, POLLIN, 0}, {socket6, POLLIN, 0}};
        if (poll(fds, 3, timeoutMs) <= 0) continue;
        if (fds[0].revents & POLLIN) {
            std::uint64_t value;
            [[maybe_unused]] ssize_t n = read(wakeFd, &value, sizeof value);
        }
        events.clear();
        if (fds[1].revents & POLLIN) receive(socket4, events);
        if (fds[2].revents & POLLIN) receive(socket6, events);
        deliver(events);
    }
}

void MdnsClient::Impl::sendDue(double now, std::vector<Outgoing>& out, std::vector<Event>& events,
                               double& nextWake) {
    std::lock_guard<std::mutex> guard(lock);
    nextWake = now + 0.1;
    for (auto& [id, r] : requests) {
        if (r.finished) continue;
        if (!r.isBrowse && (now >= r.deadline || (r.completeAt > 0.0 && now >= r.completeAt))) {
            events.push_back(completion(r));
            continue;
        }
        if (now >= r.nextSend) {
            Outgoing o;
            o.interfaceIndex = r.interfaceIndex;
            o.bytes = buildQuery(r);
            if (!o.bytes.empty()) out.push_back(std::move(o));
            r.nextSend = now + r.interval;
            r.interval = std::min(r.interval * 2.0, r.isBrowse ? kBrowseMaxInterval : kResolveTimeoutSeconds);
        }
        nextWake = std::min(nextWake, r.nextSend);
        if (!r.isBrowse) {
            nextWake = std::min(nextWake, r.deadline);
            if (r.completeAt > 0.0) nextWake = std::min(nextWake, r.completeAt);
        }
    }
}

void MdnsClient::Impl::sendAll(const std::vector<Outgoing>& out) {
    if (out.empty()) return;
    // The interfaces are read at every send, so that one that came up since
    // the client started is asked too.
    const std::vector<LocalAddress> locals = usableLocalAddresses();
    std::vector<unsigned> done4, done6;
    sockaddr_in group4{};
    group4.sin_family = AF_INET;
    group4.sin_port = htons(kPort);
    inet_pton(AF_INET, kGroup4, &group4.sin_addr);
    for (const LocalAddress& a : locals) {
        std::vector<unsigned>& done = a.family == AF_INET ? done4 : done6;
        if (std::find(done.begin(), done.end(), a.interfaceIndex) != done.end()) continue;
        done.push_back(a.interfaceIndex);
        for (const Outgoing& o : out) {
            if (o.interfaceIndex != 0 && o.interfaceIndex != a.interfaceIndex) continue;
            if (a.family == AF_INET && socket4 >= 0) {
                ip_mreqn m{};
                m.imr_ifindex = static_cast<int>(a.interfaceIndex);
                m.imr_address = a.v4.sin_addr;
                if (setsockopt(socket4, IPPROTO_IP, IP_MULTICAST_IF, &m, sizeof m) != 0) continue;
                sendto(socket4, o.bytes.data(), o.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&group4),
                       sizeof group4);
            } else if (a.family == AF_INET6 && socket6 >= 0) {
                const unsigned index = a.interfaceIndex;
                if (setsockopt(socket6, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index) != 0) continue;
                sockaddr_in6 group6{};
                group6.sin6_family = AF_INET6;
                group6.sin6_port = htons(kPort);
                inet_pton(AF_INET6, kGroup6, &group6.sin6_addr);
                group6.sin6_scope_id = index;
                sendto(socket6, o.bytes.data(), o.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&group6),
                       sizeof group6);
            }
        }
    }
}

void MdnsClient::Impl::deliver(std::vector<Event>& events) {
    for (Event& e : events) {
        BrowseCallback browseCallback = nullptr;
        ResolveCallback resolveCallback = nullptr;
        void* context = nullptr;
        {
            std::lock_guard<std::mutex> guard(lock);
            auto it = requests.find(e.id);
            if (it == requests.end()) continue;  // cancelled meanwhile
            browseCallback = it->second.browseCallback;
            resolveCallback = it->second.resolveCallback;
            context = it->second.context;
            if (it->second.finished) requests.erase(it);
            dispatching = e.id;
        }
        if (e.isBrowse) {
            for (std::size_t i = 0; i + 1 < e.records.size(); ++i) e.records[i].next = &e.records[i + 1];
            browseCallback(e.status, context, e.records.empty() ? nullptr : &e.records[0]);
        } else {
            resolveCallback(e.status, context, e.instance ? &*e.instance : nullptr);
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            dispatching = 0;
        }
        dispatchDone.notify_all();
    }
}

void MdnsClient::Impl::receive(int fd, std::vector<Event>& events) {
    for (int i = 0; i < kMaxDatagramsPerWake; ++i) {
        sockaddr_storage from{};
        iovec iov{receiveBuffer, sizeof receiveBuffer};
        alignas(cmsghdr) std::uint8_t control[256];
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(fd, &msg, MSG_TRUNC);
        if (n < 0) return;
        if (static_cast<std::size_t>(n) > kMaxMessageSize || (msg.msg_flags & MSG_TRUNC) != 0) continue;
        // Multicast DNS answers come from port 5353 only.
        std::uint16_t sourcePort = 0;
        if (from.ss_family == AF_INET)
            sourcePort = ntohs(reinterpret_cast<const sockaddr_in*>(&from)->sin_port);
        else if (from.ss_family == AF_INET6)
            sourcePort = ntohs(reinterpret_cast<const sockaddr_in6*>(&from)->sin6_port);
        if (sourcePort != kPort) continue;
        std::uint32_t arrivalIndex = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                arrivalIndex = static_cast<std::uint32_t>(info.ipi_ifindex);
            } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
                in6_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                arrivalIndex = info.ipi6_ifindex;
            }
        }
        if (!parseMessage(receiveBuffer, static_cast<std::size_t>(n), *message)) continue;
        if (!message->isResponse() || !message->isPlain()) continue;
        handleResponse(*message, receiveBuffer, arrivalIndex, events);
    }
}

void MdnsClient::Impl::handleResponse(const Message& m, const std::uint8_t* data, std::uint32_t arrivalIndex,
                                      std::vector<Event>& events) {
    std::lock_guard<std::mutex> guard(lock);
    Request* found = nullptr;
    for (auto& [id, r] : requests) {
        if (!r.finished && r.transaction == m.id) found = &r;
    }
    if (found == nullptr) return;
    Request& r = *found;
    if (r.interfaceIndex != 0 && arrivalIndex != 0 && arrivalIndex != r.interfaceIndex) return;

    Event browseEvent;
    browseEvent.id = r.id;
    for (std::size_t i = 0; i < m.recordCount; ++i) {
        const Record& rec = m.records[i];
        if (rec.section != Section::Answer || rec.rclass != kClassIn || !rec.name.equals(r.askName)) continue;
        const bool asked = std::find(r.askTypes, r.askTypes + r.askCount, rec.type) != r.askTypes + r.askCount;
        if (!asked) continue;
        if (r.isBrowse) {
            // Only instances of the browsed type. A name is reported when it
            // is new, or again once it had gone (its TTL ran out, or a
            // goodbye with TTL 0 came); an answer that repeats a known name
            // only extends its life.
            if (!rec.target.isChildOf(r.askName)) continue;
            const double now = platform::processClock();
            auto known = std::find_if(r.seen.begin(), r.seen.end(),
                                      [&](const Request::Seen& s) { return s.name.equals(rec.target); });
            if (rec.ttl == 0) {
                if (known != r.seen.end()) r.seen.erase(known);
                continue;
            }
            const double expires = now + rec.ttl;
            if (known != r.seen.end()) {
                const bool wasGone = now >= known->expires;
                known->expires = expires;
                if (!wasGone) continue;
            } else {
                // Full: forget the names that have gone, else drop this one.
                if (r.seen.size() >= kMaxNamesPerBrowse)
                    r.seen.erase(std::remove_if(r.seen.begin(), r.seen.end(),
                                                [now](const Request::Seen& s) { return now >= s.expires; }),
                                 r.seen.end());
                if (r.seen.size() >= kMaxNamesPerBrowse) continue;
                r.seen.push_back(Request::Seen{rec.target, expires});
            }
            BrowseRecord b;
            b.name = rec.target.toText();
            b.ttl = rec.ttl;
            browseEvent.records.push_back(std::move(b));
        } else if (!r.addressStage) {
            if (rec.type == kTypeSrv && !r.haveSrv) {
                r.haveSrv = true;
                r.instance.port = rec.port;
                r.host = rec.target;
                r.instance.hostName = rec.target.toText();
                r.instance.interfaceIndex = arrivalIndex;
            } else if (rec.type == kTypeTxt && !r.haveTxt) {
                r.haveTxt = parseTxtStrings(data + rec.dataOffset, rec.dataLength, r.instance.txt, kMaxTxtStrings);
            }
        } else if (rec.type == kTypeA && !r.instance.hasIpv4) {
            r.instance.hasIpv4 = true;
            std::memcpy(&r.instance.ipv4, rec.address.data(), 4);
        } else if (rec.type == kTypeAaaa && !r.instance.hasIpv6) {
            r.instance.hasIpv6 = true;
            std::memcpy(&r.instance.ipv6, rec.address.data(), 16);
            if (arrivalIndex != 0) r.instance.interfaceIndex = arrivalIndex;
        }
    }
    if (r.isBrowse) {
        if (!browseEvent.records.empty()) events.push_back(std::move(browseEvent));
        return;
    }
    const double now = platform::processClock();
    if (!r.addressStage && r.haveSrv) {
        // Ask for the host's addresses next, at once.
        r.addressStage = true;
        r.askName = r.host;
        r.askTypes[0] = kTypeA;
        r.askTypes[1] = kTypeAaaa;
        r.askCount = 2;
        r.transaction = freshTransaction();
        r.nextSend = now;
        r.interval = kFirstInterval;
        wake();
        return;
    }
    if (r.addressStage) {
        if (r.instance.hasIpv4 && r.instance.hasIpv6)
            events.push_back(completion(r));
        else if ((r.instance.hasIpv4 || r.instance.hasIpv6) && r.completeAt == 0.0)
            r.completeAt = now + kSecondAddressWait;
    }
}

}  // namespace tavin::mdns
