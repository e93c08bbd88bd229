#include "session/phone_registry.h"

#include <arpa/inet.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace tavin {

namespace {

// Scores move by one per attempt; they saturate instead of overflowing.
std::int32_t plusOne(std::int32_t v) { return v == INT32_MAX ? v : v + 1; }
std::int32_t minusOne(std::int32_t v) { return v == INT32_MIN ? v : v - 1; }

// A stored path matches the transport's peer only when the path is set: an
// empty stored address never matches an empty peer.
bool sameV4(const sockaddr_in& stored, const PeerAddress& peer) {
    return stored.sin_family != 0 && std::memcmp(&stored, &peer.v4, sizeof(sockaddr_in)) == 0;
}

bool sameV6(const sockaddr_in6& stored, const PeerAddress& peer) {
    return stored.sin6_family != 0 && std::memcmp(&stored, &peer.v6, sizeof(sockaddr_in6)) == 0;
}

bool hasPath(const PhoneRecord& r) {
    return r.ipv4.sin_family != 0 || r.ipv6.sin6_family != 0 || r.adb.sin_family != 0 ||
           r.usbmuxUsbHandle != 0 || r.usbmuxNetworkHandle != 0;
}

// Length of the text in `name` up to its first NUL, at most 255 bytes.
std::size_t boundedLength(const char* name, std::size_t available) {
    const std::size_t limit = std::min(available, kPhoneNameSize - 1);
    std::size_t n = 0;
    while (n < limit && name[n] != '\0') ++n;
    return n;
}

void storeName(char (&field)[kPhoneNameSize], const char* text, std::size_t length) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text, length);
}

}  // namespace

void copyPhoneName(char (&field)[kPhoneNameSize], std::string_view name) {
    const std::size_t n = boundedLength(name.data(), name.size());
    if (n == 0) return;  // an empty name never erases a stored one
    storeName(field, name.data(), n);
}

namespace {

using Records = std::vector<std::unique_ptr<PhoneRecord>>;

PhoneRecord* firstWithId(Records& records, const PhoneId& id) {
    for (auto& r : records)
        if (r->id == id) return r.get();
    return nullptr;
}

// A record that only the network reaches and that no session uses: the
// one to give up when room is needed.
bool replaceable(const PhoneRecord& r) {
    return (r.state == PhoneState::Idle || r.state == PhoneState::Failed) && !r.usbFlag && r.adb.sin_family == 0 &&
           r.usbmuxUsbHandle == 0 && r.usbmuxNetworkHandle == 0;
}

// Appends a record for a new id. A full registry first gives up its oldest
// replaceable record; when it has none, no record is made (null).
PhoneRecord* append(Records& records, const PhoneId& id, std::uint16_t kind) {
    if (records.size() >= kMaxPhoneRecords) {
        auto oldest = std::find_if(records.begin(), records.end(),
                                   [](const std::unique_ptr<PhoneRecord>& r) { return replaceable(*r); });
        if (oldest == records.end()) return nullptr;
        records.erase(oldest);
    }
    auto record = std::make_unique<PhoneRecord>();
    record->id = id;
    record->kind = kind;
    records.push_back(std::move(record));
    return records.back().get();
}

}  // namespace

bool PhoneRegistry::networkPhoneFound(const PhoneId& id, std::uint16_t kind, std::string_view name,
                                      const sockaddr* address, std::uint16_t portBe) {
    if (address == nullptr) return false;
    if (address->sa_family != AF_INET && address->sa_family != AF_INET6) return false;

    std::lock_guard<std::mutex> guard(lock_);
    PhoneRecord* record = firstWithId(records_, id);
    if (record == nullptr) record = append(records_, id, kind);
    if (record == nullptr) return false;
    if (address->sa_family == AF_INET) {
        sockaddr_in given;
        std::memcpy(&given, address, sizeof given);
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        v4.sin_port = portBe;
        v4.sin_addr = given.sin_addr;
        record->ipv4 = v4;
    } else {
        sockaddr_in6 given;
        std::memcpy(&given, address, sizeof given);
        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        v6.sin6_port = portBe;
        v6.sin6_flowinfo = given.sin6_flowinfo;
        v6.sin6_addr = given.sin6_addr;
        v6.sin6_scope_id = given.sin6_scope_id;
        record->ipv6 = v6;
    }
    copyPhoneName(record->name, name);
    return true;
}

bool PhoneRegistry::iosPhoneFound(const PhoneId& id, std::uint16_t kind, std::uint32_t handle, bool isUsb,
                                  std::string_view name) {
    std::lock_guard<std::mutex> guard(lock_);
    auto apply = [&](PhoneRecord& r) {
        if (isUsb) {
            r.usbmuxUsbHandle = handle;
            r.usbFlag = true;
        } else {
            r.usbmuxNetworkHandle = handle;
        }
        copyPhoneName(r.name, name);
    };
    bool found = false;
    for (auto& r : records_) {
        if (r->id != id) continue;
        apply(*r);
        found = true;
    }
    if (found) return true;
    PhoneRecord* record = append(records_, id, kind);
    if (record != nullptr) apply(*record);
    return record != nullptr;
}

bool PhoneRegistry::iosPhoneLost(std::uint32_t handle) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto& r : records_) {
            if (r->usbmuxUsbHandle == handle) {
                r->usbmuxUsbHandle = 0;
                r->usbFlag = false;
            }
            if (r->usbmuxNetworkHandle == handle) r->usbmuxNetworkHandle = 0;
        }
    }
    return prune();
}

bool PhoneRegistry::androidPhoneFound(const PhoneId& id, std::uint16_t kind, std::string_view name,
                                      std::uint16_t localPort) {
    std::lock_guard<std::mutex> guard(lock_);
    auto apply = [&](PhoneRecord& r) {
        r.usbFlag = true;
        r.usbScore = 1;
        sockaddr_in adb{};
        adb.sin_family = AF_INET;
        adb.sin_port = htons(localPort);
        adb.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        r.adb = adb;
        copyPhoneName(r.name, name);
    };
    bool found = false;
    for (auto& r : records_) {
        if (r->id != id) continue;
        apply(*r);
        found = true;
    }
    if (found) return true;
    PhoneRecord* record = append(records_, id, kind);
    if (record != nullptr) apply(*record);
    return record != nullptr;
}

bool PhoneRegistry::androidPhoneLost(const PhoneId& id) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (PhoneRecord* r = firstWithId(records_, id)) {
            r->usbFlag = false;
            r->adb = sockaddr_in{};
        }
    }
    return prune();
}

bool PhoneRegistry::prune() {
    std::lock_guard<std::mutex> guard(lock_);
    const auto before = records_.size();
    std::erase_if(records_, [](const std::unique_ptr<PhoneRecord>& r) { return !hasPath(*r); });
    return records_.size() != before;
}

bool PhoneRegistry::setPhoneState(const TransportIdentity& transport, PhoneState state) {
    bool changed = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        PhoneRecord* r = firstWithId(records_, transport.id);
        if (r != nullptr) {
            changed = r->state != state;
            r->state = state;
            if (state == PhoneState::Streaming) {
                const bool usbPath = transport.isUsb || (r->kind == 2 && r->usbFlag);
                std::int32_t& score = usbPath ? r->usbScore : r->wifiScore;
                const std::int32_t next = plusOne(score);
                score = next > 0 ? next : 0;
            } else if (state == PhoneState::Failed) {
                if (r->kind == 2 && sameV4(r->adb, transport.peer)) {
                    r->usbFlag = false;
                    r->adb = sockaddr_in{};
                } else if (transport.isUsb) {
                    const std::int32_t before = r->usbScore;
                    r->usbScore = minusOne(before);
                    if (before < -10) r->usbFlag = false;
                } else if (sameV4(r->ipv4, transport.peer)) {
                    r->ipv4 = sockaddr_in{};
                    r->wifiScore = std::max(minusOne(r->wifiScore), -10);
                } else if (sameV6(r->ipv6, transport.peer)) {
                    r->ipv6 = sockaddr_in6{};
                    r->wifiScore = std::max(minusOne(r->wifiScore), -10);
                } else {
                    const std::int32_t before = r->wifiScore;
                    r->wifiScore = minusOne(before);
                    if (before < -10) {
                        r->ipv4 = sockaddr_in{};
                        r->ipv6 = sockaddr_in6{};
                    }
                }
            }
        }
    }
    const bool pruned = prune();
    return pruned || (changed && state != PhoneState::Connecting);
}

bool PhoneRegistry::setStateQuietly(const PhoneId& id, PhoneState state) {
    std::lock_guard<std::mutex> guard(lock_);
    PhoneRecord* r = firstWithId(records_, id);
    if (r == nullptr) return false;
    r->state = state;
    return true;
}

bool PhoneRegistry::dropUsbScore(std::uint32_t handle) {
    if (handle == 0) return false;
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& r : records_) {
        if (r->usbmuxNetworkHandle == handle || r->usbmuxUsbHandle == handle) {
            r->usbScore = minusOne(r->usbScore);
            return true;
        }
    }
    return false;
}

PhoneState PhoneRegistry::getPhoneState(const PhoneId& id) {
    std::lock_guard<std::mutex> guard(lock_);
    const PhoneRecord* r = firstWithId(records_, id);
    return r != nullptr ? r->state : PhoneState::Idle;
}

bool PhoneRegistry::startsStreaming(const PhoneId& id) {
    std::lock_guard<std::mutex> guard(lock_);
    const PhoneRecord* r = firstWithId(records_, id);
    return r != nullptr && r->state != PhoneState::Streaming;
}

std::string PhoneRegistry::nameOf(const PhoneId& id) {
    std::lock_guard<std::mutex> guard(lock_);
    const PhoneRecord* r = firstWithId(records_, id);
    if (r == nullptr) return "Phone";
    return std::string(r->name, boundedLength(r->name, kPhoneNameSize));
}

void PhoneRegistry::applyPhoneInfo(const PhoneId& infoId, const PhoneId& sessionId, std::uint16_t kind,
                                   const char* name256) {
    const std::size_t n = name256 != nullptr ? boundedLength(name256, kPhoneNameSize) : 0;
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& r : records_) {
        if (r->id != infoId && r->id != sessionId) continue;
        storeName(r->name, name256 != nullptr ? name256 : "", n);
        r->kind = kind;
    }
}

void PhoneRegistry::clear() {
    std::lock_guard<std::mutex> guard(lock_);
    records_.clear();
}

}  // namespace tavin
