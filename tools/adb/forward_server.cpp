#include "forward_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "state_folder.h"

namespace tavin::adbstandin {

namespace {

constexpr std::size_t kMaxForwards = 128;
constexpr std::size_t kMaxRelays = 64;
constexpr std::size_t kMaxControlClients = 8;
constexpr std::size_t kMaxRequest = 4096;
constexpr std::size_t kRelayBuffer = 64 * 1024;
constexpr int kLoopMs = 250;
constexpr int kFolderCheckLoops = 4;  // about once a second
constexpr int kConnectMs = 2000;
constexpr int kServerStartMs = 3000;
constexpr int kReplyMs = 3000;

constexpr const char* kOk = "OK";

std::string socketPath(const std::string& folder) { return statePath(folder, "server.sock"); }

bool controlAddress(const std::string& folder, sockaddr_un& address) {
    const std::string path = socketPath(folder);
    if (path.size() >= sizeof address.sun_path) return false;
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int connectControl(const std::string& folder) {
    sockaddr_un address;
    if (!controlAddress(folder, address)) return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One request line, one reply line; bounded waits.
std::optional<std::string> exchange(int fd, const std::string& request) {
    const std::string line = request + "\n";
    if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) return std::nullopt;
    std::string reply;
    char c;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kReplyMs) <= 0) return std::nullopt;
        const ssize_t n = recv(fd, &c, 1, 0);
        if (n <= 0) return std::nullopt;
        if (c == '\n') return reply;
        if (reply.size() >= kMaxRequest) return std::nullopt;
        reply += c;
    }
}

// Bytes read from one side, waiting to be written to the other.
struct Buffer {
    std::unique_ptr<std::uint8_t[]> data{new std::uint8_t[kRelayBuffer]};
    std::size_t start = 0;
    std::size_t end = 0;
    bool empty() const { return start == end; }
};

struct Relay {
    int fd[2] = {-1, -1};  // 0: the engine's side, 1: the phone's
    Buffer from[2];        // from[i]: read from fd[i]
    bool ended[2] = {false, false};
    bool broken = false;
    ~Relay() {
        for (int f : fd)
            if (f >= 0) close(f);
    }
};

struct Forward {
    int listener = -1;
    std::string serial;
    std::uint16_t devicePort = 0;
};

struct ControlClient {
    int fd = -1;
    std::string request;
};

class Server {
public:
    explicit Server(std::string folder) : folder_(std::move(folder)) {}
    ~Server() {
        for (auto& [port, f] : forwards_) close(f.listener);
        for (ControlClient& c : clients_) close(c.fd);
        if (control_ >= 0) {
            close(control_);
            // Only the socket this server made goes.
            if (access(folder_.c_str(), F_OK) == 0) unlink(socketPath(folder_).c_str());
        }
    }
    bool listen();
    void run();

private:
    void log(const std::string& text) { appendLine(statePath(folder_, "server.log"), "adb server: " + text); }
    void acceptControl();
    bool serveControl(ControlClient& client);  // false when the client is done
    std::string handle(const std::vector<std::string>& fields);
    std::string addForward(const std::string& serial, std::uint16_t local, std::uint16_t devicePort);
    void acceptEngine(const Forward& forward);
    void pump(Relay& relay, int side, short revents);

    std::string folder_;
    int control_ = -1;
    bool stopping_ = false;
    std::map<std::uint16_t, Forward> forwards_;
    std::vector<ControlClient> clients_;
    std::vector<std::unique_ptr<Relay>> relays_;
};

bool Server::listen() {
    sockaddr_un address;
    if (!controlAddress(folder_, address)) return false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    unlink(address.sun_path);  // nobody answered on it: a leftover
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0) {
        close(fd);
        return false;
    }
    control_ = fd;
    return true;
}

void Server::acceptControl() {
    const int fd = accept4(control_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (clients_.size() >= kMaxControlClients) {
        close(fd);
        return;
    }
    clients_.push_back(ControlClient{fd, {}});
}

bool Server::serveControl(ControlClient& client) {
    char chunk[512];
    const ssize_t n = recv(client.fd, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (n <= 0) return false;
    client.request.append(chunk, static_cast<std::size_t>(n));
    const std::size_t newline = client.request.find('\n');
    if (newline == std::string::npos) return client.request.size() <= kMaxRequest;
    const std::string reply = handle(splitFields(std::string_view(client.request).substr(0, newline))) + "\n";
    // Replies are short; the client waits for them.
    (void)!send(client.fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    return false;
}

std::string Server::handle(const std::vector<std::string>& fields) {
    if (fields.size() == 1 && fields[0] == "kill") {
        log("stopping");
        stopping_ = true;
        return kOk;
    }
    std::optional<std::uint16_t> local, device;
    if (fields.size() == 4 && fields[0] == "forward" && (local = parseTcpSpec(fields[2])) &&
        (device = parseTcpSpec(fields[3])))
        return addForward(fields[1], *local, *device);
    return "ERR unknown request";
}

std::string Server::addForward(const std::string& serial, std::uint16_t local, std::uint16_t devicePort) {
    const std::string what = "tcp:" + std::to_string(local) + " -> " + serial + " tcp:" + std::to_string(devicePort);
    if (auto known = forwards_.find(local); known != forwards_.end()) {
        known->second.serial = serial;
        known->second.devicePort = devicePort;
        log("rebound " + what);
        return kOk;
    }
    if (forwards_.size() >= kMaxForwards) return "ERR too many forwards";
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(local);
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd >= 0) close(fd);
        log("cannot forward " + what + ": " + reason);
        return "ERR cannot bind listener: " + reason;
    }
    forwards_[local] = Forward{fd, serial, devicePort};
    log("forward " + what);
    return kOk;
}

void Server::acceptEngine(const Forward& forward) {
    const int fd = accept4(forward.listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    auto relay = std::make_unique<Relay>();
    relay->fd[0] = fd;
    const std::optional<sockaddr_storage> target = forwardTarget(folder_, forward.serial, forward.devicePort);
    if (!target || relays_.size() >= kMaxRelays) {
        log("no phone behind " + forward.serial + " tcp:" + std::to_string(forward.devicePort));
        return;  // closes the engine's connection
    }
    const int phone = socket(target->ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    relay->fd[1] = phone;
    const socklen_t length = target->ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    bool connected = false;
    if (phone >= 0) {
        if (connect(phone, reinterpret_cast<const sockaddr*>(&*target), length) == 0) {
            connected = true;
        } else if (errno == EINPROGRESS) {
            pollfd p{phone, POLLOUT, 0};
            int error = 0;
            socklen_t size = sizeof error;
            connected = poll(&p, 1, kConnectMs) == 1 &&
                        getsockopt(phone, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
        }
    }
    if (!connected) {
        log("the phone behind " + forward.serial + " tcp:" + std::to_string(forward.devicePort) + " does not answer");
        return;
    }
    relays_.push_back(std::move(relay));
}

void Server::pump(Relay& relay, int side, short revents) {
    const int other = 1 - side;
    if ((revents & POLLIN) && relay.from[side].empty()) {
        const ssize_t n = recv(relay.fd[side], relay.from[side].data.get(), kRelayBuffer, 0);
        if (n > 0) {
            relay.from[side].start = 0;
            relay.from[side].end = static_cast<std::size_t>(n);
        } else if (n == 0) {
            relay.ended[side] = true;
        } else if (errno != EAGAIN && errno != EINTR) {
            relay.broken = true;
        }
    } else if (revents & (POLLHUP | POLLERR)) {
        // Gone without a byte to read: what it sent still goes out.
        relay.ended[side] = true;
    }
    Buffer& out = relay.from[other];
    if ((revents & POLLOUT) && !out.empty()) {
        const ssize_t n = send(relay.fd[side], out.data.get() + out.start, out.end - out.start, MSG_NOSIGNAL);
        if (n > 0)
            out.start += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            relay.broken = true;
    }
}

void Server::run() {
    int loops = 0;
    while (!stopping_) {
        if (++loops % kFolderCheckLoops == 0 && access(folder_.c_str(), F_OK) != 0) return;
        // One poll over everything, laid out in this order: the control
        // socket, its clients, the forwards, two entries per relay.
        std::vector<pollfd> fds;
        fds.push_back(pollfd{control_, POLLIN, 0});
        for (const ControlClient& c : clients_) fds.push_back(pollfd{c.fd, POLLIN, 0});
        std::vector<const Forward*> listening;
        for (const auto& [port, f] : forwards_) {
            fds.push_back(pollfd{f.listener, POLLIN, 0});
            listening.push_back(&f);
        }
        for (const auto& r : relays_) {
            for (int side = 0; side < 2; ++side) {
                short events = 0;
                if (r->from[side].empty() && !r->ended[side]) events |= POLLIN;
                if (!r->from[1 - side].empty()) events |= POLLOUT;
                fds.push_back(pollfd{r->fd[side], events, 0});
            }
        }
        if (poll(fds.data(), fds.size(), kLoopMs) < 0 && errno != EINTR) return;

        // Act on what the poll saw before anything is added or removed
        // (forwards live in a map, so pointers to them stay valid).
        std::size_t i = 1;
        std::vector<ControlClient> keep;
        for (ControlClient& c : clients_) {
            const short revents = fds[i++].revents;
            if (revents == 0 || serveControl(c))
                keep.push_back(c);
            else
                close(c.fd);
        }
        clients_ = std::move(keep);
        std::vector<const Forward*> ready;
        for (const Forward* f : listening)
            if (fds[i++].revents & POLLIN) ready.push_back(f);
        for (auto& r : relays_)
            for (int side = 0; side < 2; ++side) pump(*r, side, fds[i++].revents);
        // A relay ends when it broke, or when a side ended and what it sent
        // has gone out to the other.
        std::erase_if(relays_, [](const std::unique_ptr<Relay>& r) {
            return r->broken || (r->ended[0] && r->from[0].empty()) || (r->ended[1] && r->from[1].empty());
        });
        for (const Forward* f : ready) acceptEngine(*f);
        if (fds[0].revents & POLLIN) acceptControl();
    }
}

// Runs the server in a detached grandchild: no terminal, no descriptor of
// the command's, output to /dev/null.
bool startServer(const std::string& folder) {
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        setsid();
        if (fork() != 0) _exit(0);
        const int null = open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
        closefrom(3);
        signal(SIGPIPE, SIG_IGN);
        if (chdir("/") != 0) _exit(1);
        {
            Server server(folder);
            if (server.listen()) server.run();
        }
        _exit(0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

}  // namespace

bool requestForward(const std::string& folder, const std::string& serial, std::uint16_t localPort,
                    std::uint16_t devicePort, std::string& error) {
    int fd = connectControl(folder);
    if (fd < 0) {
        if (!startServer(folder)) {
            error = "cannot start the server";
            return false;
        }
        for (int waited = 0; fd < 0 && waited < kServerStartMs; waited += 20) {
            usleep(20'000);
            fd = connectControl(folder);
        }
        if (fd < 0) {
            error = "cannot connect to daemon";
            return false;
        }
    }
    const std::string request = "forward\t" + escapeField(serial) + "\ttcp:" + std::to_string(localPort) +
                                "\ttcp:" + std::to_string(devicePort);
    const std::optional<std::string> reply = exchange(fd, request);
    close(fd);
    if (!reply) {
        error = "the daemon did not answer";
        return false;
    }
    if (*reply == kOk) return true;
    error = reply->substr(0, 4) == "ERR " ? reply->substr(4) : *reply;
    return false;
}

bool stopServer(const std::string& folder) {
    const int fd = connectControl(folder);
    if (fd < 0) return false;
    exchange(fd, "kill");
    close(fd);
    return true;
}

}  // namespace tavin::adbstandin
