// A session over TCP: to a phone's network address, or to the loopback
// port that adb forwards to an Android phone.
//
// start() opens a non-blocking socket and starts the receive thread, which
// connects (at most 4,000 ms), then reads framed messages into one
// 4,000,000-byte buffer and hands each whole message to the listener. The
// listener hears onConnected at the first whole message, onMessage for
// each one, and at the end exactly one of onConnectFailed (the connect or
// the stream failed) or onDisconnected (orderly end: the peer closed, the
// idle time-out, a header shorter than itself) - neither when the
// transport was stopped by its owner.
//
// Transports are shared: create() returns a shared_ptr and the receive
// thread keeps its own reference for its whole run, so a transport may be
// released from its own listener operations; stop() from the receive
// thread only clears `running`.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/thread.h"
#include "session/phone_transport.h"

namespace tavin {

class TcpTransport final : public PhoneTransport, public std::enable_shared_from_this<TcpTransport> {
public:
    // Sessions and adb probes end after this long without a whole message.
    static constexpr double kSessionIdleTimeout = 10.0;
    // How long a connect, and a whole send, may take.
    static constexpr int kConnectTimeoutMs = 4000;
    static constexpr int kSendTimeoutMs = 4000;

    // `idleTimeoutSeconds` of 0 or less disables the idle check. The
    // listener must outlive the transport's receive thread.
    static std::shared_ptr<TcpTransport> create(double idleTimeoutSeconds, TransportListener& listener);
    ~TcpTransport() override;

    // Opens the socket for `peer` (IPv4 or IPv6, port inside) and starts the
    // receive thread. False when the transport was started before, the
    // address has another family, or the socket or thread cannot be made
    // (no listener operation follows then).
    bool start(const PeerAddress& peer, const PhoneId& id);

    bool send(const void* data, std::size_t length) override;
    void close() override;
    void stop() override;
    bool onReceiveThread() const override;

    // True from start() until the receive thread has finished or stop().
    bool running() const { return running_.load(); }

    // The type byte of the last message sent through any TcpTransport.
    static std::uint8_t lastTypeSent();

private:
    struct Token {
        explicit Token() = default;
    };

public:
    TcpTransport(Token, double idleTimeoutSeconds, TransportListener& listener);

private:
    void receiveThread();
    bool connectPeer();
    bool receiveLoop();
    void closeSocketLocked();

    const double idleTimeout_;
    TransportListener& listener_;
    platform::Thread thread_;
    std::mutex joinLock_;        // one joiner at a time

    std::mutex lock_;            // guards socket_ and every send
    int socket_ = -1;            // owned by the transport until the receive thread ends
    std::atomic<bool> shut_{false};  // close() was called: the stream is shut down
    std::atomic<bool> running_{false};
    std::atomic<bool> sendFailed_{false};
    bool started_ = false;
};

}  // namespace tavin
