// The process-wide registry of known phones, with every path to each one.
//
// All reads and writes of records happen under the registry lock. The
// operations below take the lock themselves and return whether the host's
// phone list changed (the caller then calls its onPhoneListChanged hook,
// after the lock is released). Records live only inside the registry.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "session/phone_transport.h"
#include "session/protocol.h"

namespace tavin {

enum class PhoneState : std::int32_t {
    Idle = 0,
    Failed = 1,
    Connecting = 2,
    Streaming = 3,
    PasscodeRequired = 4,
};

inline constexpr std::size_t kPhoneNameSize = 256;

// The most records the registry holds. Anyone on the local network can
// announce phones, so a report of a new id when the registry is full gives
// up the oldest record that only the network reaches and that is Idle or
// Failed (a phone that announces itself comes back with its next
// announcement); when every record is in use or reached over USB, the
// report is dropped. Phones that stream, or that a cable holds, are never
// given up.
inline constexpr std::size_t kMaxPhoneRecords = 64;

struct PhoneRecord {
    std::uint32_t kind = 0;
    PhoneId id{};
    char name[kPhoneNameSize] = {};  // NUL-terminated, empty until a report carries one
    sockaddr_in ipv4{};              // family 0 = none
    sockaddr_in6 ipv6{};             // family 0 = none
    std::uint32_t usbmuxNetworkHandle = 0;
    std::uint32_t usbmuxUsbHandle = 0;
    bool usbFlag = false;
    sockaddr_in adb{};               // 127.0.0.1 and the forwarded port; family 0 = none
    PhoneState state = PhoneState::Idle;
    std::int32_t wifiScore = 0;
    std::int32_t usbScore = 0;
};

// What setPhoneState needs to know of the transport that reports.
struct TransportIdentity {
    PhoneId id{};
    bool isUsb = false;
    PeerAddress peer{};
    static TransportIdentity of(const PhoneTransport& t) { return {t.id(), t.isUsb(), t.peer()}; }
};

class PhoneRegistry {
public:
    // The process's registry. It lives as long as the library (see
    // engine/engine_context.h).
    static PhoneRegistry& instance();

    // Runs f(records) under the registry lock; f must not call into the
    // host, a transport or the system.
    template <class F>
    auto withRecords(F&& f) {
        std::lock_guard<std::mutex> guard(lock_);
        return f(records_);
    }

    // Sink operations. Each returns true when onPhoneListChanged is due
    // (false when a new id found the registry full; see kMaxPhoneRecords).
    // `address` points to a sockaddr_in or sockaddr_in6; `portBe` is in
    // network byte order and replaces the address's port. A null address or
    // one of another family is rejected (nothing changes, false).
    // `localPort` of androidPhoneFound is in host byte order.
    bool networkPhoneFound(const PhoneId& id, std::uint16_t kind, std::string_view name,
                           const sockaddr* address, std::uint16_t portBe);
    bool iosPhoneFound(const PhoneId& id, std::uint16_t kind, std::uint32_t handle, bool isUsb,
                       std::string_view name);
    bool iosPhoneLost(std::uint32_t handle);
    bool androidPhoneFound(const PhoneId& id, std::uint16_t kind, std::string_view name,
                           std::uint16_t localPort);
    bool androidPhoneLost(const PhoneId& id);

    // Removes records without any path; true when one was removed.
    bool prune();

    // Records the outcome of a session event; true when onPhoneListChanged
    // is due (the state changed and is not Connecting). The caller calls
    // onPhoneStateChanged in every case.
    bool setPhoneState(const TransportIdentity& transport, PhoneState state);

    // Sets the state of the first record with this id, without any
    // notification (release of a phone, passcode set). False when none.
    bool setStateQuietly(const PhoneId& id, PhoneState state);

    // A usbmuxd connect to this device handle failed: the first record that
    // holds the handle (network or USB) loses one point of USB score. False
    // when no record holds it. No notification is due.
    bool dropUsbScore(std::uint32_t handle);

    PhoneState getPhoneState(const PhoneId& id);
    // True when a record with this id exists and is not Streaming yet: the
    // first Video or StreamStart of a session then reports Streaming. A
    // phone without a record (the registry was emptied while it streamed)
    // is not reported again for every message.
    bool startsStreaming(const PhoneId& id);
    // The record's name (possibly empty), or "Phone" when no record has the id.
    std::string nameOf(const PhoneId& id);
    // Updates name and kind from a session's PhoneInfo: every record whose
    // id equals `infoId` and every record whose id equals `sessionId`.
    // `name256` is the message's name field; it is read up to its first NUL
    // within 256 bytes and stored cut to 255 bytes and a NUL (an empty name
    // is stored as empty: the phone's own report is authoritative).
    void applyPhoneInfo(const PhoneId& infoId, const PhoneId& sessionId, std::uint16_t kind,
                        const char* name256);
    // Frees every record.
    void clear();

private:
    std::mutex lock_;
    std::vector<std::unique_ptr<PhoneRecord>> records_;
};

// Copies `name` (up to its first NUL) bounded to 255 bytes and a NUL, only
// when it is not empty; the rest of the field is zeroed.
void copyPhoneName(char (&field)[kPhoneNameSize], std::string_view name);

}  // namespace tavin
