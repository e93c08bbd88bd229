#include "phone_sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "engine/engine_instance.h"
#include "engine/instance_table.h"
#include "platform/byte_order.h"
#include "platform/clock.h"

namespace tavin::bench {
namespace {

namespace p = protocol;

constexpr std::uint16_t kKind = 7;
// Messages from the engine are small; a larger one is skipped.
constexpr std::size_t kReplyBuffer = 64 * 1024;

}  // namespace

PhoneSender::PhoneSender(const PhoneId& id)
    : id_(id), out_(p::kMaxMessage), in_(kReplyBuffer) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, 1) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length) != 0)
        return;
    port_ = ntohs(a.sin_port);
}

PhoneSender::~PhoneSender() {
    if (socket_ >= 0) ::close(socket_);
    if (listener_ >= 0) ::close(listener_);
}

void PhoneSender::announce() const {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (EngineInstance* instance = InstanceTable::at(0))
        instance->networkSink().PhoneFound(id_, kKind, "Bench phone", reinterpret_cast<sockaddr*>(&a), htons(port_));
}

bool PhoneSender::start(const VideoFormat& format, double timeoutSeconds) {
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, static_cast<int>(timeoutSeconds * 1000)) <= 0) return false;
    socket_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket_ < 0) return false;
    const int one = 1;
    ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const auto info = p::buildPhoneInfo(id_, kKind, "Bench phone");
    const std::array<VideoFormat, 1> formats{format};
    const std::vector<std::uint8_t> capabilities = p::buildCapabilities(false, formats);
    if (!sendAll(info.data(), info.size()) || !sendAll(capabilities.data(), capabilities.size())) return false;
    const double deadline = platform::processClock() + timeoutSeconds;
    while (!formatRequested_ && platform::processClock() < deadline) readReplies(100);
    return formatRequested_;
}

bool PhoneSender::sendAll(const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::send(socket_, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

double PhoneSender::sendVideo(const Packet& packet, float tag) {
    if (packet.size() + p::payload::kData > out_.size()) return 0.0;
    p::writePayloadHeader(out_.data(), p::kVideo, floatBits(tag), static_cast<std::uint32_t>(packet.size()));
    std::memcpy(out_.data() + p::payload::kData, packet.data(), packet.size());
    if (!sendAll(out_.data(), p::payload::kData + packet.size())) return 0.0;
    return platform::processClock();
}

void PhoneSender::readReplies(int timeoutMs) {
    if (socket_ < 0) return;
    pollfd readable{socket_, POLLIN, 0};
    if (::poll(&readable, 1, timeoutMs) <= 0) return;
    for (;;) {
        const ssize_t n = ::recv(socket_, in_.data() + have_, in_.size() - have_, MSG_DONTWAIT);
        if (n <= 0) return;
        have_ += static_cast<std::size_t>(n);
        // Whole messages from the front; a message larger than the buffer
        // is dropped with what was gathered of it.
        std::size_t at = 0;
        while (have_ - at >= p::kHeaderSize) {
            const std::uint32_t length = p::headerLength(in_.data() + at);
            if (length < p::kHeaderSize || length > in_.size()) {
                at = have_;
                break;
            }
            if (have_ - at < length) break;
            const std::uint8_t type = p::headerType(in_.data() + at);
            if (type == p::kTiming) ++timings_;
            if (type == p::kFormatRequest) formatRequested_ = true;
            at += length;
        }
        std::memmove(in_.data(), in_.data() + at, have_ - at);
        have_ -= at;
    }
}

}  // namespace tavin::bench
