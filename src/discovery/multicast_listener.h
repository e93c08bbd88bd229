// Listening for the PhoneInfo datagrams phones send to UDP port 4698 of the
// groups 239.255.188.58 (IPv4) and FF02::2:d644 (IPv6, link-local scope).
//
// One listener per usable local address: an IPv4 listener is bound to port
// 4698 on all addresses and joined to the group on its address's interface;
// an IPv6 listener is bound to [::]:4698 and joined on its interface index.
// Every listener belongs to the discovery thread that opened it; nothing
// here takes a lock.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "session/phone_sinks.h"
#include "session/protocol.h"

namespace tavin {

inline constexpr const char* kAnnounceGroup4 = "239.255.188.58";
inline constexpr const char* kAnnounceGroup6 = "ff02::2:d644";

// At most this many datagrams are read from one listener in one pass.
inline constexpr int kMaxDatagramsPerPass = 20;
// Announcements are 280 bytes; longer ones up to this size are taken, a
// longer datagram is dropped.
inline constexpr std::size_t kMaxAnnouncementSize = 560;
// How long one receive waits for a datagram.
inline constexpr int kReceiveTimeoutMs = 500;

// Checks one datagram: at least 280 and at most 560 bytes, a header of type
// PhoneInfo whose length lies within the same bounds. Fills `out` (id, kind
// and the name bounded to its 256-byte field) when it is valid.
bool readAnnouncement(const std::uint8_t* data, std::size_t length, protocol::PhoneInfoFields& out);

class MulticastListener {
public:
    ~MulticastListener();  // leaves the group and closes the socket
    MulticastListener(const MulticastListener&) = delete;
    MulticastListener& operator=(const MulticastListener&) = delete;

    // A listener for each usable local address whose open succeeds, in the
    // order of the addresses.
    static std::vector<std::unique_ptr<MulticastListener>> openAll();

    // Null on failure. A failed bind records "mc" 119 (IPv4) or 181 (IPv6);
    // a failed group join drops the listener without a record.
    static std::unique_ptr<MulticastListener> openIpv4(const sockaddr_in& local);
    static std::unique_ptr<MulticastListener> openIpv6(unsigned interfaceIndex);

    // Takes over a bound datagram socket without any group (tests feed it
    // over loopback). Sets the receive time-out. Null for an invalid socket.
    static std::unique_ptr<MulticastListener> adopt(int socket, bool isIpv4);

    // Reads the waiting datagrams, at most kMaxDatagramsPerPass and only
    // while `running` is set, and reports each valid announcement with its
    // sender's address and the session port 4699. Stops at the first
    // receive that fails, times out, or gets a datagram shorter than 280
    // or longer than 560 bytes. Returns the number reported.
    int receive(NetworkPhoneSink& sink, const std::atomic<bool>& running);

    bool isIpv4() const { return isIpv4_; }

private:
    MulticastListener(bool isIpv4, int socket) : isIpv4_(isIpv4), socket_(socket) {}

    bool isIpv4_;
    int socket_ = -1;
    bool joined_ = false;
    sockaddr_in local_{};          // IPv4: selects the interface of the membership
    unsigned interfaceIndex_ = 0;  // IPv6
    // One more byte than the largest datagram taken, so that a longer one
    // is seen as too long.
    std::uint8_t buffer_[kMaxAnnouncementSize + 1];
};

}  // namespace tavin
