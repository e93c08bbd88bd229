#include "session/tcp_transport.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/error_record.h"
#include "platform/clock.h"
#include "session/frame_reader.h"
#include "session/protocol.h"

namespace tavin {

namespace {

// Written by every send without a lock; read only for an error text.
std::atomic<std::uint8_t> gLastTypeSent{0};

constexpr int kPollStepMs = 100;

socklen_t addressLength(const PeerAddress& peer) {
    return peer.sa.sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

// Waits for `events` on `fd` in steps of at most 100 ms until `deadline`
// (process clock) or until `keepGoing` turns false. Returns 1 when ready, 0
// on time-out or stop, -1 on a poll error (errno kept).
template <class KeepGoing>
int waitFor(int fd, short events, double deadline, KeepGoing keepGoing) {
    while (keepGoing()) {
        const double left = deadline - platform::processClock();
        if (left <= 0.0) return 0;
        const int stepMs = std::clamp(static_cast<int>(left * 1000.0) + 1, 1, kPollStepMs);
        pollfd p{fd, events, 0};
        const int rc = ::poll(&p, 1, stepMs);
        if (rc > 0) return 1;
        if (rc < 0 && errno != EINTR) return -1;
    }
    return 0;
}

}  // namespace

std::shared_ptr<TcpTransport> TcpTransport::create(double idleTimeoutSeconds, TransportListener& listener) {
    return std::make_shared<TcpTransport>(Token{}, idleTimeoutSeconds, listener);
}

TcpTransport::TcpTransport(Token, double idleTimeoutSeconds, TransportListener& listener)
    : idleTimeout_(idleTimeoutSeconds), listener_(listener) {}

TcpTransport::~TcpTransport() {
    stop();
    // Only reached when no receive thread holds the transport any more, so
    // the socket is either closed by that thread or was never handed to one.
    std::lock_guard<std::mutex> guard(lock_);
    closeSocketLocked();
}

std::uint8_t TcpTransport::lastTypeSent() { return gLastTypeSent.load(std::memory_order_relaxed); }

bool TcpTransport::start(const PeerAddress& peer, const PhoneId& id) {
    const int family = peer.sa.sa_family;
    if (family != AF_INET && family != AF_INET6) return false;

    std::lock_guard<std::mutex> guard(lock_);
    if (started_ || socket_ >= 0) return false;
    started_ = true;

    peer_ = PeerAddress{};
    std::memcpy(&peer_, &peer, addressLength(peer));
    id_ = id;
    isUsb_ = false;

    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        recordError(errors::kSocketCreate);
        return false;
    }
    const int one = 1;
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        recordError(errors::kSocketOptions);
        ::close(fd);
        return false;
    }
    socket_ = fd;
    running_ = true;

    if (!thread_.startHolding(shared_from_this(), &TcpTransport::receiveThread)) {
        running_ = false;
        closeSocketLocked();
        return false;
    }
    return true;
}

void TcpTransport::receiveThread() {
    bool orderly = false;
    try {
        if (connectPeer()) {
            sendFailed_ = false;
            orderly = receiveLoop();
        }
    } catch (...) {
        orderly = false;
    }
    // The stream is over: sends fail from here on, also while the listener
    // hears about the end.
    shut_ = true;
    try {
        if (running_.load()) {
            if (orderly)
                listener_.onDisconnected(*this);
            else
                listener_.onConnectFailed(*this);
        }
    } catch (...) {
        // A listener failure must not take the process down; the session is
        // over either way.
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        closeSocketLocked();
    }
    running_ = false;
}

bool TcpTransport::connectPeer() {
    const int fd = socket_;
    if (::connect(fd, &peer_.sa, addressLength(peer_)) == 0) return true;
    if (errno != EINPROGRESS && errno != EINTR) return false;

    const double deadline = platform::processClock() + kConnectTimeoutMs / 1000.0;
    const int ready = waitFor(fd, POLLOUT, deadline, [this] { return running_.load() && !shut_.load(); });
    if (ready <= 0) return false;

    int pending = 0;
    socklen_t size = sizeof pending;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) return false;
    return pending == 0;
}

bool TcpTransport::receiveLoop() {
    FrameReader reader;
    bool anyMessage = false;
    double lastMessage = platform::processClock();
    const int fd = socket_;

    for (;;) {
        if (!running_.load() || shut_.load()) return true;
        if (sendFailed_.load()) return false;
        if (idleTimeout_ > 0.0 && platform::processClock() - lastMessage > idleTimeout_) return true;

        if (reader.oversize()) {
            recordError(errors::headerTooLongTag(reader.wanted(), reader.type(), lastTypeSent(), reader.have(),
                                                 reader.previousLength(), reader.previousType()),
                        errors::kHeaderTooLongCode);
            return false;
        }

        // The socket does not block: bytes already there are read at once,
        // and only an empty socket is waited for (in bounded steps).
        const ssize_t got = ::recv(fd, reader.tail(), reader.room(), 0);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, kPollStepMs) < 0) {
                if (errno == EINTR) return false;
                recordError(errors::dottedTag("so", errno), errors::kPollFailedCode);
                return false;
            }
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return true;  // the peer closed, or the stream broke

        if (!reader.add(static_cast<std::uint32_t>(got)) || !running_.load()) continue;

        if (!anyMessage) {
            anyMessage = true;
            listener_.onConnected(*this);
        }
        const std::uint32_t length = reader.length();
        if (length < protocol::kMinMessage) {
            recordError(errors::dottedTag("so", length, reader.type()), errors::kHeaderTooShortCode);
            return true;
        }
        listener_.onMessage(*this, reader.message(), length);
        reader.next();
        lastMessage = platform::processClock();
    }
}

bool TcpTransport::send(const void* data, std::size_t length) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::lock_guard<std::mutex> guard(lock_);
    if (socket_ < 0 || shut_.load() || !running_.load() || sendFailed_.load()) return false;
    if (length == 0) return true;
    if (length >= protocol::kHeaderSize) gLastTypeSent.store(bytes[3], std::memory_order_relaxed);

    // The whole send, retries included, is bounded: a peer that stops
    // reading cannot hold the caller (or the lock) longer than this.
    const double deadline = platform::processClock() + kSendTimeoutMs / 1000.0;
    auto fail = [this] {
        sendFailed_ = true;
        return false;
    };
    std::size_t sent = 0;
    while (sent < length && running_.load()) {
        const std::size_t remaining = length - sent;
        const ssize_t n = ::send(socket_, bytes + sent, remaining, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return fail();
            const int ready = waitFor(socket_, POLLOUT, deadline,
                                      [this] { return running_.load() && !shut_.load(); });
            if (ready <= 0) return fail();
            continue;
        }
        if (n == 0) {
            recordError(errors::kSendTookNothing);
            if (platform::processClock() >= deadline) return fail();
            platform::sleepMs(kPollStepMs);
            continue;
        }
        if (static_cast<std::size_t>(n) > remaining) {
            recordError(errors::kSendTookTooMuch);
            return fail();
        }
        sent += static_cast<std::size_t>(n);
    }
    // Stopped part-way: the message did not go out whole.
    return sent == length;
}

void TcpTransport::close() {
    std::lock_guard<std::mutex> guard(lock_);
    if (socket_ >= 0 && !shut_.exchange(true)) ::shutdown(socket_, SHUT_RDWR);
}

void TcpTransport::stop() {
    running_ = false;
    if (thread_.isCurrent()) return;  // the receive thread notices at its next check
    std::lock_guard<std::mutex> guard(joinLock_);
    thread_.join();
}

bool TcpTransport::onReceiveThread() const { return thread_.isCurrent(); }

void TcpTransport::closeSocketLocked() {
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
}

}  // namespace tavin
