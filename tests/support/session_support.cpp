#include "support/session_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "platform/byte_order.h"

namespace tavin::test {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::uint16_t boundPort(int fd) {
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) != 0) return 0;
    return ntohs(bound.sin_port);
}

int listeningSocket(int backlog, std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    PeerAddress a = loopbackAddress(0);
    if (::bind(fd, &a.sa, sizeof(sockaddr_in)) != 0 || ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    port = boundPort(fd);
    return fd;
}

}  // namespace

// ---- TempConfigHome ----------------------------------------------------------

TempConfigHome::TempConfigHome() {
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) previous_ = old;
    char pattern[] = "/tmp/session-test-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    path_ = made != nullptr ? made : "/tmp";
    ::setenv("XDG_CONFIG_HOME", path_.c_str(), 1);
}

TempConfigHome::~TempConfigHome() {
    if (previous_)
        ::setenv("XDG_CONFIG_HOME", previous_->c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
    std::error_code ignored;
    if (path_ != "/tmp") std::filesystem::remove_all(path_, ignored);
}

// ---- Addresses ---------------------------------------------------------------

PhoneId phoneId(std::uint8_t first, std::uint8_t fill) {
    PhoneId id;
    id.fill(fill);
    id[0] = first;
    return id;
}

PeerAddress loopbackAddress(std::uint16_t port) {
    PeerAddress a{};
    a.v4.sin_family = AF_INET;
    a.v4.sin_port = htons(port);
    a.v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// ---- PeerSocket --------------------------------------------------------------

PeerSocket::~PeerSocket() { close(); }

PeerSocket& PeerSocket::operator=(PeerSocket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void PeerSocket::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool PeerSocket::sendAll(const void* data, std::size_t length) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (length > 0) {
        const ssize_t n = ::send(fd_, p, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            length -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        pollfd pf{fd_, POLLOUT, 0};
        if (msLeft(deadline) == 0) return false;
        ::poll(&pf, 1, std::min(100, msLeft(deadline)));
    }
    return true;
}

bool PeerSocket::readExact(std::uint8_t* out, std::size_t length, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (length > 0) {
        pollfd pf{fd_, POLLIN, 0};
        const int rc = ::poll(&pf, 1, std::min(100, msLeft(deadline)));
        if (rc == 0) {
            if (msLeft(deadline) == 0) return false;
            continue;
        }
        if (rc < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        const ssize_t n = ::recv(fd_, out, length, 0);
        if (n <= 0) return false;
        out += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::vector<std::uint8_t>> PeerSocket::readMessage(int timeoutMs) {
    std::vector<std::uint8_t> message(4);
    if (!readExact(message.data(), 4, timeoutMs)) return std::nullopt;
    const std::uint32_t length = readLe32(message.data()) & 0x00FFFFFFu;
    if (length < 4 || length > protocol::kMaxMessage) return std::nullopt;
    message.resize(length);
    if (!readExact(message.data() + 4, length - 4, timeoutMs)) return std::nullopt;
    return message;
}

bool PeerSocket::waitClosed(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::uint8_t scratch[4096];
    for (;;) {
        pollfd pf{fd_, POLLIN, 0};
        const int rc = ::poll(&pf, 1, std::min(100, msLeft(deadline)));
        if (rc > 0) {
            const ssize_t n = ::recv(fd_, scratch, sizeof scratch, 0);
            if (n <= 0) return true;
        } else if (msLeft(deadline) == 0) {
            return false;
        }
    }
}

bool PeerSocket::nothingPending() {
    pollfd pf{fd_, POLLIN, 0};
    return ::poll(&pf, 1, 0) == 0;
}

// ---- LoopbackServer ----------------------------------------------------------

LoopbackServer::LoopbackServer(int backlog) { fd_ = listeningSocket(backlog, port_); }

LoopbackServer::~LoopbackServer() {
    if (fd_ >= 0) ::close(fd_);
}

PeerSocket LoopbackServer::accept(int timeoutMs) {
    pollfd pf{fd_, POLLIN, 0};
    if (::poll(&pf, 1, timeoutMs) <= 0) return PeerSocket();
    return PeerSocket(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
}

bool LoopbackServer::connectionPending() {
    pollfd pf{fd_, POLLIN, 0};
    return ::poll(&pf, 1, 0) > 0;
}

std::uint16_t closedLoopbackPort() {
    std::uint16_t port = 0;
    const int fd = listeningSocket(1, port);
    if (fd >= 0) ::close(fd);
    return port;
}

// ---- BlackholeListener -------------------------------------------------------

BlackholeListener::BlackholeListener() {
    fd_ = listeningSocket(0, port_);
    if (fd_ < 0) return;
    // Fill the accept queue with connections nobody accepts; the kernel
    // then drops further SYNs, so a new connect stays pending. A filler
    // whose own handshake never completes shows that the queue is full.
    for (int i = 0; i < 8 && !ready_; ++i) {
        const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (c < 0) break;
        fillers_.push_back(c);
        PeerAddress a = loopbackAddress(port_);
        if (::connect(c, &a.sa, sizeof(sockaddr_in)) == 0) continue;
        if (errno != EINPROGRESS) break;
        pollfd pf{c, POLLOUT, 0};
        if (::poll(&pf, 1, 300) == 0) ready_ = true;
    }
}

BlackholeListener::~BlackholeListener() {
    for (int c : fillers_) ::close(c);
    if (fd_ >= 0) ::close(fd_);
}

// ---- EventLog ----------------------------------------------------------------

void EventLog::add(std::string line) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        lines_.push_back(std::move(line));
    }
    changed_.notify_all();
}

std::vector<std::string> EventLog::lines() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lines_;
}

std::size_t EventLog::count(const std::string& line) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::size_t n = 0;
    for (const auto& l : lines_)
        if (l == line) ++n;
    return n;
}

bool EventLog::waitFor(const std::string& line, int timeoutMs, std::size_t times) const {
    return waitUntil(
        [&](const std::vector<std::string>& lines) {
            std::size_t n = 0;
            for (const auto& l : lines)
                if (l == line) ++n;
            return n >= times;
        },
        timeoutMs);
}

bool EventLog::waitUntil(const std::function<bool(const std::vector<std::string>&)>& done, int timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return done(lines_); });
}

// ---- Raw messages ------------------------------------------------------------

std::vector<std::uint8_t> rawMessage(std::uint8_t type, std::uint32_t announcedLength, std::size_t bytesToBuild) {
    std::vector<std::uint8_t> m(std::max<std::size_t>(bytesToBuild, 4), 0);
    writeLe32(m.data(), protocol::makeHeader(type, announcedLength));
    return m;
}

std::vector<std::uint8_t> videoMessage(std::uint32_t tagBits, std::size_t payloadBytes, std::uint8_t fill) {
    std::vector<std::uint8_t> m(8 + payloadBytes, fill);
    protocol::writePayloadHeader(m.data(), protocol::kVideo, tagBits, static_cast<std::uint32_t>(payloadBytes));
    return m;
}

// ---- PhoneProcess ------------------------------------------------------------

namespace {
std::string phonePath() { return std::string(TOOLS_DIR) + "/phone"; }
}  // namespace

bool PhoneProcess::available() { return ::access(phonePath().c_str(), X_OK) == 0; }

PhoneProcess::PhoneProcess(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {phonePath(), "--bind", "127.0.0.1", "--session-port", "0", "--probe-port", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    process_ = std::make_unique<ChildProcess>(args);
    // "phone: listening <addr> <session-port> <probe-port>"
    const auto line = process_->waitForLine("phone: listening", std::chrono::milliseconds(kWaitMs));
    if (!line) return;
    std::istringstream words(*line);
    std::string phone, listening, addr;
    unsigned session = 0;
    unsigned probe = 0;
    if (words >> phone >> listening >> addr >> session && session > 0 && session < 65536) {
        sessionPort_ = static_cast<std::uint16_t>(session);
        if (words >> probe && probe < 65536) probePort_ = static_cast<std::uint16_t>(probe);
    }
}

bool PhoneProcess::waitForLog(const std::string& text, int timeoutMs) {
    return process_->waitForLine(text, std::chrono::milliseconds(timeoutMs)).has_value();
}

std::vector<std::string> PhoneProcess::logLines() { return process_->lines(); }

}  // namespace tavin::test
