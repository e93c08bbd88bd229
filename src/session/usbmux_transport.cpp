#include "session/usbmux_transport.h"

#include <sys/socket.h>
#include <usbmuxd.h>

#include <cerrno>

#include "engine/error_record.h"
#include "platform/clock.h"
#include "session/frame_reader.h"

namespace tavin {

namespace {

// What a usbmuxd receive returns: its received count, or a negative errno.
// A time-out and an interrupted or empty read only mean "nothing yet";
// "connection reset" is the peer closing; anything else is a broken stream.
bool nothingYet(int result) { return result == -ETIMEDOUT || result == -EAGAIN || result == -EINTR; }

}  // namespace

std::shared_ptr<UsbmuxTransport> UsbmuxTransport::create(std::uint32_t handle, const PhoneId& id, bool usb,
                                                         int socket, TransportListener& listener,
                                                         UsbmuxDevices& devices) {
    return std::make_shared<UsbmuxTransport>(Token{}, handle, id, usb, socket, listener, devices);
}

UsbmuxTransport::UsbmuxTransport(Token, std::uint32_t handle, const PhoneId& id, bool usb, int socket,
                                 TransportListener& listener, UsbmuxDevices& devices)
    : handle_(handle), listener_(listener), devices_(devices), socket_(socket) {
    id_ = id;
    isUsb_ = usb;
}

UsbmuxTransport::~UsbmuxTransport() {
    stop();
    // Only reached when no receive thread holds the transport any more: the
    // socket was closed by that thread, or never handed to one.
    closeSocket();
}

bool UsbmuxTransport::startReceiving() {
    {
        std::lock_guard<std::mutex> guard(sendLock_);
        if (started_ || socket_ < 0) return false;
        started_ = true;
    }
    running_ = true;
    if (!thread_.startHolding(shared_from_this(), &UsbmuxTransport::receiveLoop)) {
        running_ = false;
        closeSocket();
        return false;
    }
    return true;
}

void UsbmuxTransport::receiveLoop() {
    FrameReader reader;
    bool anyMessage = false;
    double lastMessage = platform::processClock();
    const int fd = socket_;

    // Every end but a stop by the owner is reported as a disconnection.
    auto disconnected = [this] {
        try {
            if (running_.load()) listener_.onDisconnected(*this);
        } catch (...) {
            // A listener failure must not take the process down; the session
            // is over either way.
        }
    };

    try {
        while (running_.load()) {
            if (sendFailed_.load() || platform::processClock() - lastMessage > kIdleTimeout) {
                disconnected();
                break;
            }
            if (reader.oversize()) {
                recordError(errors::dottedTag("ub", reader.wanted(), reader.type()),
                            errors::kUsbmuxHeaderTooLongCode);
                disconnected();
                break;
            }
            std::uint32_t received = 0;
            const int result = usbmuxd_recv_timeout(fd, reinterpret_cast<char*>(reader.tail()), reader.room(),
                                                    &received, kReceiveStepMs);
            if (result < 0 && !nothingYet(result)) {
                disconnected();  // the peer closed (connection reset), or the stream broke
                break;
            }
            if (result != 0) received = 0;
            if (!reader.add(received) || !running_.load()) continue;

            if (!anyMessage) {
                anyMessage = true;
                listener_.onConnected(*this);
            }
            // A header shorter than itself is handed on with its own length,
            // which the dispatch ignores; the stream stays in step.
            listener_.onMessage(*this, reader.message(), reader.length());
            reader.next();
            lastMessage = platform::processClock();
        }
    } catch (...) {
        disconnected();
    }
    closeSocket();
    running_ = false;
    devices_.handBack(handle_);
}

bool UsbmuxTransport::send(const void* data, std::size_t length) {
    const char* bytes = static_cast<const char*>(data);
    std::lock_guard<std::mutex> guard(sendLock_);
    if (socket_ < 0 || !running_.load() || sendFailed_.load()) return false;

    // usbmuxd_send hands the stream what it takes at once (waiting at most
    // a second for room); the rest follows until the deadline.
    const double deadline = platform::processClock() + kSendTimeoutMs / 1000.0;
    std::size_t sent = 0;
    while (sent < length && running_.load()) {
        const std::size_t remaining = length - sent;
        std::uint32_t taken = 0;
        const int result = usbmuxd_send(socket_, bytes + sent, static_cast<std::uint32_t>(remaining), &taken);
        if (result != 0 || taken > remaining || (taken == 0 && platform::processClock() >= deadline)) {
            sendFailed_ = true;
            return false;
        }
        sent += taken;
        if (sent < length && platform::processClock() >= deadline) {
            sendFailed_ = true;
            return false;
        }
    }
    // Stopped part-way: the message did not go out whole.
    return sent == length;
}

void UsbmuxTransport::close() {
    std::lock_guard<std::mutex> guard(sendLock_);
    if (socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
}

void UsbmuxTransport::stop() {
    running_ = false;
    if (thread_.isCurrent()) return;  // the receive loop notices at its next step
    std::lock_guard<std::mutex> guard(joinLock_);
    thread_.join();
}

bool UsbmuxTransport::onReceiveThread() const { return thread_.isCurrent(); }

void UsbmuxTransport::closeSocket() {
    std::lock_guard<std::mutex> guard(sendLock_);
    if (socket_ >= 0) {
        usbmuxd_disconnect(socket_);
        socket_ = -1;
    }
}

std::shared_ptr<UsbmuxSessionTransport> UsbmuxConnector::connect(std::uint32_t handle, const PhoneId& id,
                                                                 TransportListener& listener) {
    const int socket = usbmuxd_connect(handle, protocol::kSessionPort);
    if (socket < 0) return nullptr;
    return UsbmuxTransport::create(handle, id, devices_.attachedByUsb(handle), socket, listener, devices_);
}

}  // namespace tavin
