#include "peer_service.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>

namespace tavin::usbmuxpeer {

namespace {

constexpr int kStepMs = 100;
// A client that takes no bytes for this long is dropped.
constexpr int kWriteSteps = 20;
constexpr int kConnectTimeoutMs = 2000;
constexpr std::size_t kProxyChunk = 64 * 1024;
constexpr std::size_t kMaxCommandLine = 4096;

std::mutex gOutputLock;

void vline(FILE* out, const char* format, va_list args) {
    std::lock_guard<std::mutex> guard(gOutputLock);
    std::fputs("usbmuxd-peer: ", out);
    std::vfprintf(out, format, args);
    std::fputc('\n', out);
    std::fflush(out);
}

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK); }

// A TCP connection to `target` within the connect time-out; -1 when refused
// or unanswered.
int connectTarget(const PortTarget& target) {
    const int fd = ::socket(target.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&target.address), target.addressLength) != 0) {
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        if (errno != EINPROGRESS || ::poll(&p, 1, kConnectTimeoutMs) != 1 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

}  // namespace

void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vline(stdout, format, args);
    va_end(args);
}

void log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vline(stderr, format, args);
    va_end(args);
}

PeerService::PeerService(std::string socketPath) : path_(std::move(socketPath)) {}

PeerService::~PeerService() {
    stop();
    if (listener_ >= 0) {
        ::close(listener_);
        ::unlink(path_.c_str());
    }
}

bool PeerService::listen(std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.empty() || path_.size() >= sizeof address.sun_path) {
        error = "the socket path must have 1 to " + std::to_string(sizeof address.sun_path - 1) + " bytes";
        return false;
    }
    std::memcpy(address.sun_path, path_.data(), path_.size());
    struct stat info {};
    if (::lstat(path_.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) ::unlink(path_.c_str());

    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0) {
        error = path_ + ": " + std::strerror(errno);
        if (listener_ >= 0) ::close(listener_);
        listener_ = -1;
        return false;
    }
    return true;
}

void PeerService::run(int commandFd, int stopFd) {
    std::string line;
    bool discarding = false;
    while (!quit_.load()) {
        // A negative descriptor is left out by poll.
        pollfd fds[3] = {{listener_, POLLIN, 0}, {stopFd, POLLIN, 0}, {commandFd, POLLIN, 0}};
        const int ready = ::poll(fds, 3, kStepMs);
        reapFinished();
        if (ready <= 0) continue;
        if (fds[1].revents & POLLIN) return;
        if (fds[0].revents & POLLIN) accept();
        if (commandFd < 0 || !(fds[2].revents & (POLLIN | POLLHUP))) continue;
        char chunk[1024];
        const ssize_t n = ::read(commandFd, chunk, sizeof chunk);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            commandFd = -1;  // no more commands; the service goes on
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] == '\n') {
                if (!discarding) command(line);
                line.clear();
                discarding = false;
            } else if (!discarding && line.size() >= kMaxCommandLine) {
                log("command line longer than %zu bytes ignored", kMaxCommandLine);
                line.clear();
                discarding = true;
            } else if (!discarding) {
                line.push_back(chunk[i]);
            }
        }
    }
}

void PeerService::stop() {
    stopping_ = true;
    std::list<std::unique_ptr<Client>> clients;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto& client : clients_) {
            if (client->fd >= 0) ::shutdown(client->fd, SHUT_RDWR);
        }
        clients.swap(clients_);
    }
    for (auto& client : clients) {
        if (client->thread.joinable()) client->thread.join();
    }
}

void PeerService::reapFinished() {
    std::list<std::unique_ptr<Client>> finished;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            if ((*it)->done.load()) {
                finished.push_back(std::move(*it));
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& client : finished) client->thread.join();
}

void PeerService::accept() {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    auto client = std::make_unique<Client>();
    client->fd = fd;
    Client& ref = *client;
    std::lock_guard<std::mutex> guard(lock_);
    clients_.push_back(std::move(client));
    ref.thread = std::thread([this, &ref] { serve(ref); });
}

bool PeerService::waitFor(int fd, short events) {
    while (!stopping_.load()) {
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, kStepMs);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
    return false;
}

void PeerService::serve(Client& client) {
    PacketHeader header;
    std::vector<std::uint8_t> payload;
    while (readPacket(client, header, payload)) {
        Request request;
        if (header.version != kPlistVersion || header.message != kPlistMessage ||
            !parseRequest(payload.data(), payload.size(), request)) {
            log("request that is not a version 1 property list: bad command");
            if (!write(client, resultPacket(header.tag, kResultBadCommand))) break;
            continue;
        }
        if (request.type == "Listen") {
            startListening(client, header.tag);
        } else if (request.type == "ListDevices") {
            std::vector<DeviceDescription> devices;
            {
                std::lock_guard<std::mutex> guard(lock_);
                for (const Device& d : devices_) devices.push_back(d.description);
            }
            if (!write(client, deviceListPacket(header.tag, devices))) break;
        } else if (request.type == "Connect") {
            connectDevice(client, request, header.tag);
            break;  // the connection was proxied, or refused and closed
        } else {
            log("request %s: bad command", request.type.c_str());
            if (!write(client, resultPacket(header.tag, kResultBadCommand))) break;
        }
    }
    std::lock_guard<std::mutex> guard(lock_);
    client.listening = false;
    client.proxied = 0;
    if (client.upstream >= 0) ::close(client.upstream);
    client.upstream = -1;
    ::close(client.fd);
    client.fd = -1;
    client.done = true;
}

bool PeerService::readPacket(Client& client, PacketHeader& header, std::vector<std::uint8_t>& payload) {
    std::uint8_t head[header::kSize];
    auto readExact = [&](std::uint8_t* out, std::size_t length) {
        std::size_t have = 0;
        while (have < length) {
            if (!waitFor(client.fd, POLLIN)) return false;
            const ssize_t n = ::recv(client.fd, out + have, length - have, 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) return false;
            have += static_cast<std::size_t>(n);
        }
        return true;
    };
    if (!readExact(head, sizeof head)) return false;
    header = readHeader(head);
    if (header.length < header::kSize || header.length > kMaxRequest) {
        log("request of %u bytes refused", header.length);
        return false;
    }
    payload.resize(header.length - header::kSize);
    return readExact(payload.data(), payload.size());
}

bool PeerService::write(Client& client, const std::vector<std::uint8_t>& packet) {
    std::lock_guard<std::mutex> guard(client.writeLock);
    std::size_t sent = 0;
    int idleSteps = 0;
    while (sent < packet.size() && idleSteps < kWriteSteps && !stopping_.load()) {
        const ssize_t n = ::send(client.fd, packet.data() + sent, packet.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            idleSteps = 0;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd p{client.fd, POLLOUT, 0};
        if (::poll(&p, 1, kStepMs) == 0) ++idleSteps;
    }
    return sent == packet.size();
}

void PeerService::startListening(Client& client, std::uint32_t tag) {
    {
        // The reply, the present devices and later events go out in order.
        std::lock_guard<std::mutex> guard(lock_);
        bool ok = write(client, resultPacket(tag, kResultOk));
        for (const Device& d : devices_) ok = ok && write(client, attachedPacket(d.description));
        client.listening = ok;
    }
    log("listener joined");
}

void PeerService::connectDevice(Client& client, const Request& request, std::uint32_t tag) {
    std::optional<PortTarget> target;
    bool known = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const Device& d : devices_) {
            if (!request.hasDevice || d.description.handle != request.device) continue;
            known = true;
            for (const PortTarget& p : d.ports) {
                if (request.hasPort && p.devicePort == request.port) target = p;
            }
        }
    }
    const int upstream = target ? connectTarget(*target) : -1;
    std::uint32_t result = !known ? kResultBadDevice : upstream < 0 ? kResultRefused : kResultOk;
    if (result == kResultOk) {
        std::lock_guard<std::mutex> guard(lock_);
        // A detach while the connection was made ends it at once.
        const bool stillAttached = std::any_of(devices_.begin(), devices_.end(), [&](const Device& d) {
            return d.description.handle == request.device;
        });
        if (stillAttached) {
            client.proxied = request.device;
            client.upstream = upstream;
        } else {
            ::close(upstream);
            result = kResultBadDevice;
        }
    } else if (upstream >= 0) {
        ::close(upstream);
    }
    log("connect %u:%u %s", request.device, request.port,
        result == kResultOk ? "proxied" : result == kResultRefused ? "refused" : "unknown device");
    if (!write(client, resultPacket(tag, result)) || result != kResultOk) return;
    proxy(client, upstream);
    log("connection %u:%u ended", request.device, request.port);
}

void PeerService::proxy(Client& client, int upstream) {
    setNonBlocking(upstream);
    std::vector<std::uint8_t> buffer(kProxyChunk);
    auto forward = [&](int from, int to) {
        const ssize_t n = ::recv(from, buffer.data(), buffer.size(), 0);
        if (n < 0) return errno == EAGAIN || errno == EINTR;
        if (n == 0) return false;
        std::size_t sent = 0;
        while (sent < static_cast<std::size_t>(n)) {
            const ssize_t m = ::send(to, buffer.data() + sent, static_cast<std::size_t>(n) - sent, MSG_NOSIGNAL);
            if (m > 0) {
                sent += static_cast<std::size_t>(m);
            } else if (m < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            } else if (!waitFor(to, POLLOUT)) {
                return false;
            }
        }
        return true;
    };
    while (!stopping_.load()) {
        pollfd fds[2] = {{client.fd, POLLIN, 0}, {upstream, POLLIN, 0}};
        const int ready = ::poll(fds, 2, kStepMs);
        if (ready < 0 && errno != EINTR) return;
        if (ready <= 0) continue;
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !forward(client.fd, upstream)) return;
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) && !forward(upstream, client.fd)) return;
    }
}

void PeerService::command(const std::string& line) {
    std::string error;
    const std::optional<Command> parsed = parseCommand(line, error);
    if (!parsed) {
        if (!error.empty()) log("%s", error.c_str());
        return;
    }
    switch (parsed->kind) {
        case CommandKind::Attach: attach(*parsed); break;
        case CommandKind::Detach: detach(parsed->handle); break;
        case CommandKind::List: list(); break;
        case CommandKind::Quit: quit_ = true; break;
    }
}

void PeerService::attach(const Command& command) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = std::find_if(devices_.begin(), devices_.end(),
                               [&](const Device& d) { return d.description.handle == command.handle; });
        if (it == devices_.end()) {
            char serial[41];
            std::snprintf(serial, sizeof serial, "%032x%08x", 0u, command.handle);
            devices_.push_back(Device{{command.handle, command.usb, serial}, {}});
            it = devices_.end() - 1;
        }
        it->description.usb = command.usb;
        it->ports = command.ports;
        notifyListeners(attachedPacket(it->description));
    }
    say("attached %u %s", command.handle, command.usb ? "usb" : "network");
}

void PeerService::detach(std::uint32_t handle) {
    bool known;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const auto kept = std::remove_if(devices_.begin(), devices_.end(),
                                         [&](const Device& d) { return d.description.handle == handle; });
        known = kept != devices_.end();
        devices_.erase(kept, devices_.end());
        notifyListeners(detachedPacket(handle));
        for (auto& client : clients_) {
            if (client->proxied != handle) continue;
            ::shutdown(client->fd, SHUT_RDWR);
            if (client->upstream >= 0) ::shutdown(client->upstream, SHUT_RDWR);
        }
    }
    say("detached %u %s", handle, known ? "known" : "unknown");
}

void PeerService::list() {
    std::lock_guard<std::mutex> guard(lock_);
    for (const Device& d : devices_) {
        say("device %u %s %zu ports", d.description.handle, d.description.usb ? "usb" : "network", d.ports.size());
    }
    say("end of list");
}

void PeerService::notifyListeners(const std::vector<std::uint8_t>& packet) {
    for (auto& client : clients_) {
        if (!client->listening) continue;
        if (!write(*client, packet)) {
            // A listener that takes nothing is dropped.
            client->listening = false;
            ::shutdown(client->fd, SHUT_RDWR);
        }
    }
}

}  // namespace tavin::usbmuxpeer
