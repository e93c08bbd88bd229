#include "phone_app.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "phone_log.h"
#include "platform/clock.h"

namespace tavin::phonesim {

namespace p = protocol;

namespace {

constexpr std::size_t kMaxProbes = 16;
// How long a probe connection stays open after its PhoneInfo went out.
constexpr double kProbeLinger = 0.5;

union SocketAddress {
    sockaddr sa;
    sockaddr_in v4;
    sockaddr_in6 v6;
    sockaddr_storage storage;
};

bool makeAddress(const std::string& text, std::uint16_t port, SocketAddress& out, socklen_t& length) {
    std::memset(&out, 0, sizeof out);
    if (::inet_pton(AF_INET, text.c_str(), &out.v4.sin_addr) == 1) {
        out.v4.sin_family = AF_INET;
        out.v4.sin_port = htons(port);
        length = sizeof out.v4;
        return true;
    }
    if (::inet_pton(AF_INET6, text.c_str(), &out.v6.sin6_addr) == 1) {
        out.v6.sin6_family = AF_INET6;
        out.v6.sin6_port = htons(port);
        length = sizeof out.v6;
        return true;
    }
    return false;
}

// A listening socket on address:port (0 = ephemeral); -1 on failure. The
// bound port goes to `boundPort`.
int openListener(const std::string& address, std::uint16_t port, std::uint16_t& boundPort, std::string& error) {
    SocketAddress addr;
    socklen_t length = 0;
    if (!makeAddress(address, port, addr, length)) {
        error = "not an IPv4 or IPv6 address: " + address;
        return -1;
    }
    int fd = ::socket(addr.sa.sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, &addr.sa, length) != 0 || ::listen(fd, 8) != 0) {
        error = address + " port " + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    SocketAddress bound;
    socklen_t boundLength = sizeof bound;
    if (::getsockname(fd, &bound.sa, &boundLength) != 0) {
        error = std::string("getsockname: ") + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    boundPort = ntohs(bound.sa.sa_family == AF_INET ? bound.v4.sin_port : bound.v6.sin6_port);
    return fd;
}

std::string peerText(const SocketAddress& addr) {
    char text[INET6_ADDRSTRLEN] = "?";
    std::uint16_t port = 0;
    if (addr.sa.sa_family == AF_INET) {
        ::inet_ntop(AF_INET, &addr.v4.sin_addr, text, sizeof text);
        port = ntohs(addr.v4.sin_port);
    } else if (addr.sa.sa_family == AF_INET6) {
        ::inet_ntop(AF_INET6, &addr.v6.sin6_addr, text, sizeof text);
        port = ntohs(addr.v6.sin6_port);
    }
    return std::string(text) + " port " + std::to_string(port);
}

}  // namespace

PhoneApp::PhoneApp(const PhoneOptions& options) : options_(options) {}

PhoneApp::~PhoneApp() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        session_.reset();
    }
    for (const Probe& probe : probes_) ::close(probe.fd);
    if (sessionListener_ >= 0) ::close(sessionListener_);
    if (probeListener_ >= 0) ::close(probeListener_);
}

bool PhoneApp::listen(std::string& error) {
    sessionListener_ = openListener(options_.bindAddress, options_.sessionPort, sessionPort_, error);
    if (sessionListener_ < 0) return false;
    if (options_.probeEnabled) {
        probeListener_ = openListener(options_.bindAddress, options_.probePort, probePort_, error);
        if (probeListener_ < 0) return false;
    }
    return true;
}

void PhoneApp::setRenameListener(std::function<void(const std::string&)> listener) {
    std::lock_guard<std::mutex> lock(lock_);
    renamed_ = std::move(listener);
}

void PhoneApp::command(const std::string& line) {
    std::string error;
    std::optional<Command> command = parseCommand(line, error);
    if (!command) {
        if (!error.empty()) logLine("bad command: %s", error.c_str());
        return;
    }
    if (command->kind == CommandKind::Quit) {
        logLine("quit");
        quit_ = true;
        return;
    }
    std::function<void(const std::string&)> renamed;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (command->kind == CommandKind::Info) {
            // The new name holds for probes and later sessions as well.
            options_.name = command->text;
            renamed = renamed_;
        }
        if (session_ && !session_->ended()) {
            session_->post(*command);
        } else if (command->kind != CommandKind::Info) {
            logLine("no session: '%s' ignored", line.c_str());
        }
    }
    if (renamed) renamed(command->text);
}

void PhoneApp::acceptSession() {
    SocketAddress peer;
    socklen_t length = sizeof peer;
    int fd = ::accept4(sessionListener_, &peer.sa, &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    // The app serves one engine at a time: a new connection replaces the
    // session in progress (an engine that probed the session port, or one
    // that reconnects after a network change, must not be locked out).
    std::unique_ptr<PhoneSession> replaced;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (options_.once && sessionSeen_) {
            logLine("session from %s refused: --once", peerText(peer).c_str());
            ::close(fd);
            return;
        }
        replaced = std::move(session_);
    }
    if (replaced) {
        replaced->stop();
        logLine("session %d replaced", replaced->number());
    }
    std::lock_guard<std::mutex> lock(lock_);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    SessionConfig config;
    config.id = options_.id;
    config.kind = options_.kind;
    config.name = options_.name;
    config.formats = options_.formats;
    config.hevc = options_.hevc;
    config.passcode = options_.passcode;
    config.challengeTimeoutSeconds = options_.challengeTimeoutSeconds;
    config.audio = options_.audio;
    config.toneHz = options_.toneHz;
    config.audioClockSkew = options_.audioClockSkew;
    config.video = options_.video;
    config.streamUnasked = options_.streamUnasked;
    ++sessionCount_;
    sessionSeen_ = true;
    logLine("session %d from %s", sessionCount_, peerText(peer).c_str());
    session_ = std::make_unique<PhoneSession>(fd, std::move(config), sessionCount_);
    if (!session_->start()) {
        logLine("session %d: cannot start its threads", sessionCount_);
        session_.reset();
    }
}

void PhoneApp::acceptProbe() {
    SocketAddress peer;
    socklen_t length = sizeof peer;
    int fd = ::accept4(probeListener_, &peer.sa, &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    std::array<std::uint8_t, p::phone_info::kSize> info;
    {
        std::lock_guard<std::mutex> lock(lock_);
        info = p::buildPhoneInfo(options_.id, options_.kind, options_.name);
    }
    // A fresh socket's send buffer always holds 280 bytes; a short send
    // means the peer is already gone.
    ssize_t sent = ::send(fd, info.data(), info.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    logLine("probe from %s%s", peerText(peer).c_str(),
            sent == static_cast<ssize_t>(info.size()) ? "" : ": PhoneInfo not sent");
    if (sent != static_cast<ssize_t>(info.size())) {
        ::close(fd);
        return;
    }
    if (probes_.size() >= kMaxProbes) {
        ::close(probes_.front().fd);
        probes_.erase(probes_.begin());
    }
    probes_.push_back(Probe{fd, platform::processClock() + kProbeLinger});
}

void PhoneApp::serviceProbes(double now) {
    for (std::size_t i = 0; i < probes_.size();) {
        char discard[256];
        ssize_t n = ::recv(probes_[i].fd, discard, sizeof discard, MSG_DONTWAIT);
        bool peerGone = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
        if (peerGone || now >= probes_[i].closeAt) {
            ::close(probes_[i].fd);
            probes_.erase(probes_.begin() + static_cast<long>(i));
        } else {
            ++i;
        }
    }
}

void PhoneApp::reapSession() {
    std::unique_ptr<PhoneSession> finished;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (!session_ || !session_->ended()) return;
        finished = std::move(session_);
    }
    int number = finished->number();
    finished->stop();
    logLine("session %d closed", number);
    if (options_.once) quit_ = true;
}

void PhoneApp::run(const std::function<bool()>& stopRequested) {
    std::vector<pollfd> fds;
    while (!quit_ && !stopRequested()) {
        fds.clear();
        fds.push_back(pollfd{sessionListener_, POLLIN, 0});
        if (probeListener_ >= 0) fds.push_back(pollfd{probeListener_, POLLIN, 0});
        for (const Probe& probe : probes_) fds.push_back(pollfd{probe.fd, POLLIN, 0});
        int ready = ::poll(fds.data(), fds.size(), 100);
        if (ready < 0 && errno != EINTR) {
            logLine("poll failed: %s", std::strerror(errno));
            break;
        }
        if (ready > 0) {
            if (fds[0].revents & POLLIN) acceptSession();
            if (probeListener_ >= 0 && (fds[1].revents & POLLIN)) acceptProbe();
        }
        serviceProbes(platform::processClock());
        reapSession();
    }
    std::unique_ptr<PhoneSession> last;
    {
        std::lock_guard<std::mutex> lock(lock_);
        last = std::move(session_);
    }
    if (last) {
        last->stop();
        logLine("session %d closed", last->number());
    }
}

}  // namespace tavin::phonesim
