// The byte stream of one session, and the listener that hears its events.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "session/protocol.h"

namespace tavin {

class PhoneTransport;

// A peer address as the registry keeps it: family 0 = none; AF_INET uses the
// first 16 bytes (sockaddr_in), AF_INET6 28 bytes (sockaddr_in6).
union PeerAddress {
    sockaddr sa;
    sockaddr_in v4;
    sockaddr_in6 v6;
    sockaddr_storage storage;
};

// Events of a transport, all called on its receive thread.
class TransportListener {
public:
    virtual ~TransportListener() = default;
    virtual void onConnected(PhoneTransport& transport) = 0;
    virtual void onConnectFailed(PhoneTransport& transport) = 0;
    virtual void onDisconnected(PhoneTransport& transport) = 0;
    // `message` holds one whole message of `length` bytes (its header's
    // length); it is valid during the call only.
    virtual void onMessage(PhoneTransport& transport, const std::uint8_t* message, std::uint32_t length) = 0;
};

class PhoneTransport {
public:
    // Destruction stops the transport (as stop()) and frees it. Owners call
    // stop() before they let a transport go; a transport whose receive
    // thread holds it (TcpTransport) may then end its life on that thread.
    virtual ~PhoneTransport() = default;

    // Hands one whole message to the stream. True when all of it went out.
    // Callable from any thread; fails fast once the stream has ended or the
    // transport is stopping, and never blocks for more than 4,000 ms.
    virtual bool send(const void* data, std::size_t length) = 0;

    // Shuts the stream (the receive loop then ends).
    virtual void close() = 0;

    // Clears `running` and waits for the receive thread to end. Called on
    // the receive thread itself it only clears `running`.
    virtual void stop() = 0;

    // True when called on this transport's receive thread.
    virtual bool onReceiveThread() const = 0;

    const PhoneId& id() const { return id_; }
    bool isUsb() const { return isUsb_; }
    // Where the transport connects; family 0 for usbmuxd transports.
    const PeerAddress& peer() const { return peer_; }

protected:
    PhoneId id_{};
    bool isUsb_ = false;
    PeerAddress peer_{};
};

}  // namespace tavin
