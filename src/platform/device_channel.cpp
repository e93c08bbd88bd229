// Device requests over Unix-domain stream sockets, the serving side used by
// the driver substitute, and the capture-device directory.
#include "platform/device_channel.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "platform/byte_order.h"
#include "platform/thread.h"

namespace tavin::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Framing: request header u32 total length, u32 code, u32 output capacity;
// reply header u32 total length, u32 status.
constexpr std::size_t kRequestHeader = 12;
constexpr std::size_t kReplyHeader = 8;
constexpr std::size_t kReqLengthOffset = 0;
constexpr std::size_t kReqCodeOffset = 4;
constexpr std::size_t kReqCapacityOffset = 8;
constexpr std::size_t kReplyLengthOffset = 0;
constexpr std::size_t kReplyStatusOffset = 4;

// The server's bound for sending one reply to a client that does not read.
constexpr int kServerReplyTimeoutMs = 2000;
// Clients served at once by one DeviceServer; more are turned away.
constexpr std::size_t kMaxServerClients = 64;
// The longest device file read; longer files are not device descriptions.
constexpr std::size_t kMaxDeviceFile = 64 * 1024;

// Milliseconds left until `deadline`, rounded up; 0 when it has passed.
int msLeft(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
    return ms > 60000 ? 60000 : static_cast<int>(ms);
}

// Waits until fd is ready for `events` or the deadline passes.
bool waitReady(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const int ms = msLeft(deadline);
        if (ms == 0) return false;
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, ms);
        if (n > 0) return true;  // errors and hang-ups surface in the next call
        if (n < 0 && errno != EINTR) return false;
    }
}

// Sends every byte of the iovecs (which it consumes) on a non-blocking socket.
bool sendAll(int fd, iovec* iov, int count, Clock::time_point deadline) {
    while (count > 0) {
        if (iov->iov_len == 0) {
            ++iov;
            --count;
            continue;
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t sent = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitReady(fd, POLLOUT, deadline)) continue;
            return false;
        }
        auto done = static_cast<std::size_t>(sent);
        while (count > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<std::uint8_t*>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return true;
}

// Receives exactly `length` bytes. False on time-out, error or end of stream.
bool recvAll(int fd, void* buffer, std::size_t length, Clock::time_point deadline) {
    auto* p = static_cast<std::uint8_t*>(buffer);
    while (length > 0) {
        const ssize_t got = recv(fd, p, length, 0);
        if (got > 0) {
            p += got;
            length -= static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0) return false;
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitReady(fd, POLLIN, deadline)) continue;
        return false;
    }
    return true;
}

// Reads and drops `length` bytes.
bool discard(int fd, std::size_t length, Clock::time_point deadline) {
    std::uint8_t scratch[4096];
    while (length > 0) {
        const std::size_t part = std::min(length, sizeof scratch);
        if (!recvAll(fd, scratch, part, deadline)) return false;
        length -= part;
    }
    return true;
}

bool fillAddress(const std::string& path, sockaddr_un& addr, int* error) {
    if (path.empty() || path.find('\0') != std::string::npos) {
        *error = EINVAL;
        return false;
    }
    if (path.size() >= sizeof addr.sun_path) {
        *error = ENAMETOOLONG;
        return false;
    }
    addr = {};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

bool setNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

// ---- DeviceHandle -----------------------------------------------------------

struct DeviceHandle::Impl {
    int fd = -1;
    std::mutex lock;  // one request at a time
    // Set once the position in the reply stream is no longer known (a
    // time-out, a short read, a reply length outside the framing's bounds):
    // a later reply could not be told apart from a stale one.
    bool broken = false;
};

DeviceHandle::DeviceHandle(int fd) : impl_(std::make_unique<Impl>()) { impl_->fd = fd; }

DeviceHandle::~DeviceHandle() {
    if (impl_ && impl_->fd >= 0) close(impl_->fd);
}

std::unique_ptr<DeviceHandle> DeviceHandle::open(const std::string& path, int* error) {
    int scratch = 0;
    if (!error) error = &scratch;
    sockaddr_un addr{};
    if (!fillAddress(path, addr, error)) return nullptr;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    // A server whose backlog is full would block connect without a bound.
    timeval bound{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    int rc;
    int attempts = 0;
    do {
        rc = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR && ++attempts < 8);
    if (rc != 0 || !setNonBlocking(fd)) {
        *error = errno;
        close(fd);
        return nullptr;
    }
    *error = 0;
    return std::unique_ptr<DeviceHandle>(new DeviceHandle(fd));
}

bool DeviceHandle::request(std::uint32_t code, const void* input, std::uint32_t inputLength, void* output,
                           std::uint32_t outCapacity, std::uint32_t* returned, int timeoutMs) {
    if (returned) *returned = 0;
    if (inputLength > kMaxDeviceTransfer || outCapacity > kMaxDeviceTransfer) return false;
    if ((inputLength > 0 && !input) || (outCapacity > 0 && !output)) return false;

    std::lock_guard<std::mutex> guard(impl_->lock);
    if (impl_->broken) return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);

    std::uint8_t head[kRequestHeader];
    writeLe32(head + kReqLengthOffset, static_cast<std::uint32_t>(kRequestHeader) + inputLength);
    writeLe32(head + kReqCodeOffset, code);
    writeLe32(head + kReqCapacityOffset, outCapacity);
    iovec iov[2] = {{head, sizeof head}, {const_cast<void*>(input), inputLength}};
    if (!sendAll(impl_->fd, iov, 2, deadline)) {
        impl_->broken = true;
        return false;
    }

    std::uint8_t replyHead[kReplyHeader];
    if (!recvAll(impl_->fd, replyHead, sizeof replyHead, deadline)) {
        impl_->broken = true;
        return false;
    }
    const std::uint32_t length = readLe32(replyHead + kReplyLengthOffset);
    const std::uint32_t status = readLe32(replyHead + kReplyStatusOffset);
    if (length < kReplyHeader || length - kReplyHeader > kMaxDeviceTransfer) {
        impl_->broken = true;
        return false;
    }
    const std::uint32_t count = length - static_cast<std::uint32_t>(kReplyHeader);
    if (count > outCapacity) {
        // More than was asked for: the request fails, and the rest of the
        // reply is dropped so that the next reply is read from its start.
        if (!discard(impl_->fd, count, deadline)) impl_->broken = true;
        return false;
    }
    if (!recvAll(impl_->fd, output, count, deadline)) {
        impl_->broken = true;
        return false;
    }
    if (status != 0) return false;
    if (returned) *returned = count;
    return true;
}

// ---- DeviceServer -----------------------------------------------------------

namespace {

struct ServerClient {
    int fd = -1;
    std::uint8_t head[kRequestHeader] = {};
    std::size_t headHave = 0;
    std::size_t expect = 0;  // input bytes of the request being read
    std::vector<std::uint8_t> input;
    std::size_t inputHave = 0;
};

}  // namespace

struct DeviceServer::Impl {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    int listenFd = -1;
    int wakeFd = -1;
    Handler handler;
    std::atomic<bool> running{false};
    std::vector<ServerClient> clients;
    std::vector<pollfd> pollSet;
    Thread thread;

    ~Impl();
    void loop();
    void acceptClients();
    bool serve(ServerClient& c);
    bool answer(ServerClient& c);
    bool sendReply(int fd, std::uint32_t status, const std::uint8_t* data, std::uint32_t count);
};

DeviceServer::Impl::~Impl() {
    for (auto& c : clients) close(c.fd);
    if (listenFd >= 0) close(listenFd);
    if (wakeFd >= 0) close(wakeFd);
    if (!path.empty()) {
        // Only our own socket file: a newer server may have replaced it.
        struct stat st{};
        if (lstat(path.c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino) ::unlink(path.c_str());
    }
}

std::unique_ptr<DeviceServer> DeviceServer::start(const std::string& path, Handler handler) {
    if (!handler) return nullptr;
    sockaddr_un addr{};
    int error = 0;
    if (!fillAddress(path, addr, &error)) return nullptr;

    auto impl = std::make_unique<Impl>();
    impl->handler = std::move(handler);
    impl->listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (impl->listenFd < 0) return nullptr;
    // A socket file left by a server that is gone; anything else at the path
    // makes bind fail.
    struct stat st{};
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
    if (bind(impl->listenFd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return nullptr;
    if (lstat(path.c_str(), &st) != 0) return nullptr;
    impl->path = path;
    impl->dev = st.st_dev;
    impl->ino = st.st_ino;
    if (chmod(path.c_str(), 0666) != 0 || listen(impl->listenFd, 16) != 0) return nullptr;
    impl->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl->wakeFd < 0) return nullptr;

    impl->running = true;
    Impl* raw = impl.get();
    if (!impl->thread.start([raw]() { raw->loop(); })) return nullptr;
    std::unique_ptr<DeviceServer> server(new DeviceServer);
    server->impl_ = std::move(impl);
    return server;
}

DeviceServer::~DeviceServer() {
    if (!impl_) return;
    impl_->running = false;
    const std::uint64_t one = 1;
    (void)!write(impl_->wakeFd, &one, sizeof one);
    impl_->thread.join();
}

void DeviceServer::Impl::loop() {
    while (running.load()) {
        pollSet.clear();
        pollSet.push_back({wakeFd, POLLIN, 0});
        pollSet.push_back({listenFd, POLLIN, 0});
        for (const auto& c : clients) pollSet.push_back({c.fd, POLLIN, 0});
        const int n = poll(pollSet.data(), pollSet.size(), 100);
        if (!running.load()) break;
        if (n <= 0) continue;
        // Clients first: pollSet[2 + i] belongs to clients[i] until accept
        // appends more.
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (pollSet[2 + i].revents == 0) continue;
            if (!serve(clients[i])) {
                close(clients[i].fd);
                clients[i].fd = -1;
            }
        }
        std::erase_if(clients, [](const ServerClient& c) { return c.fd < 0; });
        if (pollSet[1].revents & POLLIN) acceptClients();
    }
}

void DeviceServer::Impl::acceptClients() {
    for (;;) {
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (clients.size() >= kMaxServerClients) {
            close(fd);
            continue;
        }
        ServerClient c;
        c.fd = fd;
        clients.push_back(std::move(c));
    }
}

// Reads what the client has sent and answers every complete request. False
// when the client is gone or broke the framing. The input buffer grows with
// the bytes that actually arrive, not with the length a client announces.
bool DeviceServer::Impl::serve(ServerClient& c) {
    constexpr std::size_t kGrowStep = 256 * 1024;
    for (;;) {
        const bool inHead = c.headHave < kRequestHeader;
        if (inHead || c.inputHave < c.expect) {
            std::uint8_t* into;
            std::size_t want;
            if (inHead) {
                into = c.head + c.headHave;
                want = kRequestHeader - c.headHave;
            } else {
                want = std::min(c.expect - c.inputHave, kGrowStep);
                if (c.input.size() < c.inputHave + want) c.input.resize(c.inputHave + want);
                into = c.input.data() + c.inputHave;
            }
            const ssize_t got = recv(c.fd, into, want, 0);
            if (got == 0) return false;
            if (got < 0) {
                if (errno == EINTR) continue;
                return errno == EAGAIN || errno == EWOULDBLOCK;
            }
            if (!inHead) {
                c.inputHave += static_cast<std::size_t>(got);
                continue;
            }
            c.headHave += static_cast<std::size_t>(got);
            if (c.headHave < kRequestHeader) continue;
            const std::uint32_t total = readLe32(c.head + kReqLengthOffset);
            if (total < kRequestHeader || total - kRequestHeader > kMaxDeviceTransfer) {
                // The framing is lost: say so, then drop the client.
                sendReply(c.fd, EINVAL, nullptr, 0);
                return false;
            }
            c.expect = total - kRequestHeader;
            c.inputHave = 0;
            continue;
        }
        if (!answer(c)) return false;
        c.headHave = 0;
        c.inputHave = 0;
        c.expect = 0;
    }
}

bool DeviceServer::Impl::answer(ServerClient& c) {
    const std::uint32_t code = readLe32(c.head + kReqCodeOffset);
    const std::uint32_t capacity = readLe32(c.head + kReqCapacityOffset);
    if (capacity > kMaxDeviceTransfer) return sendReply(c.fd, EINVAL, nullptr, 0);
    Reply reply;
    try {
        reply = handler(code, c.expect > 0 ? c.input.data() : nullptr, static_cast<std::uint32_t>(c.expect),
                        capacity);
    } catch (...) {
        reply = Reply{EIO, {}};
    }
    const auto count = static_cast<std::uint32_t>(std::min<std::size_t>(reply.output.size(), capacity));
    return sendReply(c.fd, reply.status, reply.output.data(), count);
}

bool DeviceServer::Impl::sendReply(int fd, std::uint32_t status, const std::uint8_t* data, std::uint32_t count) {
    std::uint8_t head[kReplyHeader];
    writeLe32(head + kReplyLengthOffset, static_cast<std::uint32_t>(kReplyHeader) + count);
    writeLe32(head + kReplyStatusOffset, status);
    iovec iov[2] = {{head, sizeof head}, {const_cast<std::uint8_t*>(data), count}};
    return sendAll(fd, iov, 2, Clock::now() + std::chrono::milliseconds(kServerReplyTimeoutMs));
}

// ---- Capture-device directory ------------------------------------------------

namespace {

bool endsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Reads a regular file of at most kMaxDeviceFile bytes. False for anything
// else (not regular, unreadable, too long).
bool readDeviceFile(int dirFd, const char* name, std::string& content) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    const int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st{};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    content.clear();
    char buffer[4096];
    while (ok) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (content.size() + static_cast<std::size_t>(got) > kMaxDeviceFile) {
            ok = false;
            break;
        }
        content.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    return ok;
}

// Fills the device from "FriendlyName=" and "DevicePath=" lines (the first
// of each counts). False when there is no FriendlyName line.
bool parseDeviceFile(std::string_view text, CaptureDevice& device) {
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    constexpr std::string_view kName = "FriendlyName=";
    constexpr std::string_view kPath = "DevicePath=";
    if (text.starts_with(kBom)) text.remove_prefix(kBom.size());
    bool hasName = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (!hasName && line.starts_with(kName)) {
            device.friendlyName.assign(line.substr(kName.size()));
            hasName = true;
        } else if (!device.hasDevicePath && line.starts_with(kPath)) {
            device.devicePath.assign(line.substr(kPath.size()));
            device.hasDevicePath = true;
        }
    }
    return hasName;
}

}  // namespace

std::string captureDeviceDirectory() {
    const char* dir = std::getenv("TAVIN_DEVICE_DIR");
    return dir && *dir ? std::string(dir) : std::string("/run/tavin/devices");
}

int enumerateCaptureDevices(std::vector<CaptureDevice>& devices) {
    devices.clear();
    const std::string path = captureDeviceDirectory();
    DIR* dir = opendir(path.c_str());
    if (!dir) return kEnumUnavailable;
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        if (endsWith(entry->d_name, ".device")) names.emplace_back(entry->d_name);
    }
    // std::string compares as unsigned bytes: byte order of the names.
    std::sort(names.begin(), names.end());
    int deviceFiles = 0;
    std::string content;
    for (const auto& name : names) {
        if (!readDeviceFile(dirfd(dir), name.c_str(), content)) continue;
        ++deviceFiles;
        CaptureDevice device;
        if (parseDeviceFile(content, device)) devices.push_back(std::move(device));
    }
    closedir(dir);
    return deviceFiles == 0 ? kEnumEmpty : kEnumOk;
}

}  // namespace tavin::platform
