// A session through the usbmuxd service: to the session port of an iOS
// phone, by its usbmuxd device handle, over USB or over the network.
//
// UsbmuxConnector makes the connection (usbmuxd_connect to port 4699) and
// returns the transport, connected but not reading. startReceiving() starts
// the receive thread, which reads framed messages through usbmuxd with
// 100 ms receive steps and hands each whole one to the listener. The
// listener hears onConnected at the first whole message, onMessage for each
// one, and onDisconnected once at the end, whatever the cause (the stream
// closed or broke, 5 s without a whole message, a header announcing more
// than 4,000,000 bytes, a send that failed) - not when the transport was
// stopped by its owner. When the loop ends, in every case, the socket is
// closed and the device handle is handed back to the device list, so that
// the watcher reports the phone lost and probes it again.
//
// Transports are shared like TcpTransport: the receive thread keeps its own
// reference for its whole run, and stop() from that thread only clears
// `running`.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/thread.h"
#include "session/usbmux_connector.h"

namespace tavin {

class UsbmuxTransport final : public UsbmuxSessionTransport,
                              public std::enable_shared_from_this<UsbmuxTransport> {
public:
    // A session ends after this long without a whole message.
    static constexpr double kIdleTimeout = 5.0;
    // Each receive waits at most this long, which bounds a stop.
    static constexpr unsigned kReceiveStepMs = 100;
    // A whole send may take at most this long.
    static constexpr int kSendTimeoutMs = 4000;

    // Takes `socket`, a connection made by usbmuxd_connect. The listener
    // and the device list must outlive the receive thread.
    static std::shared_ptr<UsbmuxTransport> create(std::uint32_t handle, const PhoneId& id, bool usb, int socket,
                                                   TransportListener& listener, UsbmuxDevices& devices);
    ~UsbmuxTransport() override;

    bool startReceiving() override;
    // The whole message through usbmuxd_send, in as many pieces as the
    // stream takes; sends are serialised. False once the stream has ended
    // or is stopping, and when the message did not go out whole within
    // 4,000 ms (the stream then ends: the phone would read garbage).
    bool send(const void* data, std::size_t length) override;
    // Shuts the stream; the receive loop then ends.
    void close() override;
    void stop() override;
    bool onReceiveThread() const override;

    std::uint32_t handle() const { return handle_; }
    bool running() const { return running_.load(); }

private:
    struct Token {
        explicit Token() = default;
    };

public:
    UsbmuxTransport(Token, std::uint32_t handle, const PhoneId& id, bool usb, int socket,
                    TransportListener& listener, UsbmuxDevices& devices);

private:
    void receiveLoop();
    void closeSocket();

    const std::uint32_t handle_;
    TransportListener& listener_;
    UsbmuxDevices& devices_;
    platform::Thread thread_;
    std::mutex joinLock_;            // one joiner at a time
    std::mutex sendLock_;            // guards socket_ against closing during a send; orders sends
    int socket_;                     // -1 once closed
    std::atomic<bool> running_{false};
    std::atomic<bool> sendFailed_{false};
    bool started_ = false;
};

// Connects usbmuxd sessions to the devices of one device list.
class UsbmuxConnector final : public UsbmuxTransportFactory {
public:
    explicit UsbmuxConnector(UsbmuxDevices& devices) : devices_(devices) {}
    std::shared_ptr<UsbmuxSessionTransport> connect(std::uint32_t handle, const PhoneId& id,
                                                    TransportListener& listener) override;

private:
    UsbmuxDevices& devices_;
};

}  // namespace tavin
