// The POSIX platform layer, with real second processes for everything that
// is shared between processes.
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/address_change.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "platform/device_channel.h"
#include "platform/named_objects.h"
#include "platform/resources.h"
#include "platform/thread.h"

using namespace tavin;
using namespace tavin::platform;

namespace {

// Names of this test run only, so that nothing meets a real driver's object.
std::string testName(const char* tag) {
    static int counter = 0;
    return "Local\\tavin-test-" + std::to_string(getpid()) + "-" + tag + "-" + std::to_string(++counter);
}

// A pipe for one-byte hand-shakes with a child; every wait is bounded.
struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fd), 0); }
    ~Pipe() {
        closeEnd(0);
        closeEnd(1);
    }
    void closeWrite() { closeEnd(1); }
    void closeEnd(int i) {
        if (fd[i] >= 0) close(fd[i]);
        fd[i] = -1;
    }
    void send(char c = 'x') { EXPECT_EQ(write(fd[1], &c, 1), 1); }
    // True when a byte arrived; false on time-out or when the writer closed.
    bool receive(int timeoutMs = 10000) {
        pollfd p{fd[0], POLLIN, 0};
        char c;
        return poll(&p, 1, timeoutMs) == 1 && read(fd[0], &c, 1) == 1;
    }
};

// Runs `body` in a forked child whose exit code is the body's result.
pid_t forkChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

// The child's exit code, -1 when it had to be killed after the bound.
int waitChild(pid_t pid, int timeoutMs = 20000) {
    for (int waited = 0;; waited += 10) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        if (waited >= timeoutMs) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        sleepMs(10);
    }
}

struct ScopedMutexName {
    std::string name = testName("mutex");
    ~ScopedMutexName() { NamedMutex::unlink(name); }
};

}  // namespace

TEST(ProcessClockAndThread, ClockAndThreadLifecycle) {
    const double a = processClock();
    sleepMs(10);
    EXPECT_GE(processClock() - a, 0.009);

    Thread t;
    std::atomic<int> ran{0};
    std::atomic<bool> currentInside{false};
    ASSERT_TRUE(t.start([&] { currentInside = t.isCurrent(); t.join(); ++ran; }));
    EXPECT_FALSE(t.start([] {})) << "a second start before join";
    t.join();
    EXPECT_EQ(ran.load(), 1);
    EXPECT_TRUE(currentInside.load());
    EXPECT_FALSE(t.isCurrent());
    EXPECT_FALSE(t.started());

    Thread::refuseStartsForTesting(2);
    EXPECT_FALSE(t.start([&] { ++ran; }));
    EXPECT_FALSE(t.start([&] { ++ran; }));
    ASSERT_TRUE(t.start([&] { ++ran; }));
    t.join();
    EXPECT_EQ(ran.load(), 2);

    // A thread that destroys its own owner detaches instead of terminating.
    auto* self = new Thread;
    std::atomic<bool> done{false};
    ASSERT_TRUE(self->start([&] { delete self; done = true; }));
    for (int i = 0; i < 1000 && !done; ++i) sleepMs(10);
    EXPECT_TRUE(done.load());
}

TEST(NamedMutex, NamesAndBadInput) {
    EXPECT_EQ(sharedObjectName("Local\\877A"), "/Local.877A");
    EXPECT_EQ(sharedObjectName("Global\\B3"), "/Global.B3");
    EXPECT_EQ(sharedObjectName("plain"), "/plain");
    EXPECT_EQ(NamedMutex::open(std::string_view("Local\\a\0b", 9)), nullptr);
    EXPECT_EQ(NamedEvent::open("Local\\has/slash"), nullptr);
}

TEST(NamedMutex, DyingHolderAbandonsItAndLiveHolderTimesOut) {
    ScopedMutexName n;
    auto mutex = NamedMutex::open(n.name);
    ASSERT_TRUE(mutex);
    Pipe locked, release;
    // A holder that stays alive until told: waits time out.
    pid_t child = forkChild([&] {
        auto m = NamedMutex::open(n.name);
        if (!m || m->lock(1000) != LockResult::Acquired) return 1;
        locked.send();
        if (!release.receive()) return 2;
        m->unlock();
        return 0;
    });
    ASSERT_TRUE(locked.receive());
    EXPECT_EQ(mutex->lock(0), LockResult::TimedOut);
    EXPECT_EQ(mutex->lock(-5), LockResult::TimedOut);
    EXPECT_EQ(mutex->lock(50), LockResult::TimedOut);
    release.send();
    EXPECT_EQ(mutex->lock(5000), LockResult::Acquired);
    mutex->unlock();
    EXPECT_EQ(waitChild(child), 0);

    // A holder that dies holding it: the next waiter gets it, abandoned.
    child = forkChild([&] {
        auto m = NamedMutex::open(n.name);
        if (!m || m->lock(1000) != LockResult::Acquired) return 1;
        locked.send();
        _exit(0);  // no unlock, no destructor
    });
    ASSERT_TRUE(locked.receive());
    EXPECT_EQ(mutex->lock(5000), LockResult::Abandoned);
    mutex->unlock();
    EXPECT_EQ(waitChild(child), 0);
    EXPECT_EQ(mutex->lock(0), LockResult::Acquired) << "consistent again after an abandoned wait";
    mutex->unlock();
}

TEST(NamedMutex, RecursiveHoldsAndReleaseOnDestruction) {
    ScopedMutexName n;
    auto mutex = NamedMutex::open(n.name);
    ASSERT_TRUE(mutex);
    auto othersLockNow = [&] {
        return waitChild(forkChild([&] {
            auto m = NamedMutex::open(n.name);
            return m && m->lock(0) == LockResult::Acquired ? 0 : 1;
        }));
    };
    ASSERT_EQ(mutex->lock(100), LockResult::Acquired);
    ASSERT_EQ(mutex->lock(100), LockResult::Acquired);
    mutex->unlock();
    EXPECT_EQ(othersLockNow(), 1) << "one hold is left";
    mutex->unlock();
    mutex->unlock();  // not held: ignored
    EXPECT_EQ(othersLockNow(), 0);

    ASSERT_EQ(mutex->lock(100), LockResult::Acquired);
    mutex.reset();
    EXPECT_EQ(othersLockNow(), 0) << "destroying the handle gave back its hold";
}

TEST(NamedMutex, ProcessesCreatingAtOnceShareOneMutex) {
    constexpr int kChildren = 6;
    constexpr int kRounds = 300;
    for (int attempt = 0; attempt < 5; ++attempt) {
        ScopedMutexName n;
        const std::string counterName = testName("counter");
        auto counter = SharedRegion::create(counterName, 4096);
        ASSERT_TRUE(counter);
        Pipe go;
        std::vector<pid_t> children;
        for (int i = 0; i < kChildren; ++i) {
            children.push_back(forkChild([&] {
                go.closeWrite();
                go.receive();  // returns when the parent closes its end
                auto m = NamedMutex::open(n.name);
                if (!m) return 1;
                for (int r = 0; r < kRounds; ++r) {
                    if (!holds(m->lock(5000))) return 2;
                    // Not atomic on purpose: only the mutex keeps it exact.
                    const std::uint32_t v = readLe32(counter->data());
                    if (r % 16 == 0) sched_yield();
                    writeLe32(counter->data(), v + 1);
                    m->unlock();
                }
                return 0;
            }));
        }
        go.closeWrite();
        for (pid_t c : children) EXPECT_EQ(waitChild(c), 0);
        EXPECT_EQ(readLe32(counter->data()), static_cast<std::uint32_t>(kChildren * kRounds));
        SharedRegion::unlink(counterName);
    }
}

TEST(NamedMutex, InitialisationStatesAndMode) {
    // The documented object: u32 state at 0, u32 initialiser pid at 4.
    auto prepare = [](const std::string& name, std::uint32_t state, std::uint32_t pid) {
        auto raw = SharedRegion::create(name, 64);
        ASSERT_TRUE(raw);
        writeLe32(raw->data(), state);
        writeLe32(raw->data() + 4, pid);
    };
    const pid_t gone = forkChild([] { return 0; });
    ASSERT_EQ(waitChild(gone), 0);
    {
        ScopedMutexName n;
        prepare(n.name, 1, static_cast<std::uint32_t>(gone));
        auto m = NamedMutex::open(n.name);
        ASSERT_TRUE(m) << "an initialiser that died half-way is replaced";
        EXPECT_EQ(m->lock(100), LockResult::Acquired);
        m->unlock();
    }
    {
        ScopedMutexName n;
        prepare(n.name, 1, static_cast<std::uint32_t>(getpid()));
        EXPECT_EQ(NamedMutex::open(n.name), nullptr) << "a live initialiser that never finishes";
    }
    {
        ScopedMutexName n;
        prepare(n.name, 7, 0);
        EXPECT_EQ(NamedMutex::open(n.name), nullptr) << "not a mutex object";
    }
    {
        // Everyone may open what this layer creates, whatever the umask.
        ScopedMutexName n;
        const std::string event = testName("event"), region = testName("region");
        const mode_t old = umask(077);
        auto m = NamedMutex::open(n.name);
        auto e = NamedEvent::open(event);
        auto r = SharedRegion::create(region, 4096);
        umask(old);
        ASSERT_TRUE(m && e && r);
        for (const auto& name : {n.name, event, region}) {
            struct stat st{};
            ASSERT_EQ(stat(("/dev/shm" + sharedObjectName(name)).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0666u) << name;
        }
        NamedEvent::unlink(event);
        SharedRegion::unlink(region);
    }
}

TEST(NamedEvent, ManualResetAcrossProcesses) {
    const std::string name = testName("event");
    auto event = NamedEvent::open(name);
    ASSERT_TRUE(event);
    EXPECT_FALSE(event->isSet());
    EXPECT_FALSE(event->wait(20));
    event->set();
    EXPECT_TRUE(event->isSet());
    EXPECT_TRUE(event->wait(0));
    EXPECT_TRUE(event->wait(0)) << "manual reset: stays signalled";
    event->reset();
    EXPECT_FALSE(event->isSet());

    // Another process waits; this one sets.
    Pipe ready;
    pid_t child = forkChild([&] {
        auto e = NamedEvent::open(name);
        if (!e) return 1;
        ready.send();
        return e->wait(10000) ? 0 : 2;
    });
    ASSERT_TRUE(ready.receive());
    sleepMs(30);
    event->set();
    EXPECT_EQ(waitChild(child), 0);
    event->reset();

    // Another process only stores the word (no wake): the waiter still sees it.
    child = forkChild([&] {
        sleepMs(30);
        auto raw = SharedRegion::openExisting(name, 64);
        if (!raw) return 1;
        writeLe32(raw->data(), 1);
        return 0;
    });
    EXPECT_TRUE(event->wait(10000));
    EXPECT_EQ(waitChild(child), 0);
    NamedEvent::unlink(name);
}

TEST(SharedRegion, OpenExistingNeverCreatesAndChecksSize) {
    const std::string name = testName("region");
    EXPECT_EQ(SharedRegion::openExisting(name, 4096), nullptr);
    errno = 0;
    EXPECT_LT(shm_open(sharedObjectName(name).c_str(), O_RDONLY, 0), 0);
    EXPECT_EQ(errno, ENOENT) << "opening must not have created it";

    auto driver = SharedRegion::create(name, 4096);
    ASSERT_TRUE(driver);
    driver->data()[4095] = 0x5A;
    EXPECT_EQ(SharedRegion::openExisting(name, 8192), nullptr) << "smaller than asked";
    EXPECT_EQ(SharedRegion::openExisting(name, 0), nullptr);
    auto engine = SharedRegion::openExisting(name, 4096);
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->data()[4095], 0x5A);
    SharedRegion::unlink(name);
}

TEST(SharedRegion, ZeroingIsSeenByEveryMappingAndStaysInItsRange) {
    const std::string name = testName("zeroed");
    constexpr std::size_t kSize = 5 * 4096;
    auto driver = SharedRegion::create(name, kSize);
    ASSERT_TRUE(driver);
    auto engine = SharedRegion::openExisting(name, kSize);
    ASSERT_TRUE(engine);
    std::memset(driver->data(), 0x77, kSize);
    // Partial pages at both ends, whole pages between.
    engine->zero(100, 3 * 4096);
    for (std::size_t i = 0; i < kSize; ++i) {
        const std::uint8_t expected = i >= 100 && i < 100 + 3 * 4096 ? 0 : 0x77;
        ASSERT_EQ(driver->data()[i], expected) << "byte " << i;
    }
    // Pages given back are written again like any other.
    engine->data()[8192] = 1;
    EXPECT_EQ(driver->data()[8192], 1);
    engine->zero(kSize - 10, 100);  // bounded to the region
    EXPECT_EQ(driver->data()[kSize - 1], 0);
    SharedRegion::unlink(name);
}

namespace {

std::string socketPath(const char* tag) {
    return "/tmp/tavin-test-" + std::to_string(getpid()) + "-" + tag + ".sock";
}

// A raw stream socket bound (listen) or connected to `path`; -1 on failure.
int rawSocket(const std::string& path, bool listening) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    const auto* a = reinterpret_cast<const sockaddr*>(&addr);
    const bool ok = listening ? bind(fd, a, sizeof addr) == 0 && listen(fd, 4) == 0 : connect(fd, a, sizeof addr) == 0;
    if (ok) return fd;
    close(fd);
    return -1;
}

DeviceServer::Reply testHandler(std::uint32_t code, const std::uint8_t* in, std::uint32_t n, std::uint32_t cap) {
    switch (code) {
        case 1: return {0, std::vector<std::uint8_t>(in, in + n)};           // echo
        case 2: return {EIO, {}};                                               // refuses
        case 3: return {0, std::vector<std::uint8_t>(cap + 100, 0xAB)};       // too much: cut
        case 4: throw std::runtime_error("handler fault");
        default: return {ENOTTY, {}};
    }
}

// Opens the device, retrying while the serving process is still starting.
std::unique_ptr<DeviceHandle> openWhenReady(const std::string& path) {
    int error = 0;
    for (int i = 0; i < 500; ++i) {
        if (auto h = DeviceHandle::open(path, &error)) return h;
        sleepMs(10);
    }
    return nullptr;
}

}  // namespace

TEST(DeviceChannel, RequestsServedByAnotherProcess) {
    const std::string path = socketPath("served");
    Pipe ready, quit;
    const pid_t child = forkChild([&] {
        auto server = DeviceServer::start(path, testHandler);
        if (!server) return 1;
        ready.send();
        quit.receive(20000);
        return 0;
    });
    ASSERT_TRUE(ready.receive());
    auto device = openWhenReady(path);
    ASSERT_TRUE(device);
    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);

    std::vector<std::uint8_t> in(3 * 1024 * 1024), out(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::uint8_t>(i * 7);
    std::uint32_t got = 0;
    EXPECT_TRUE(device->request(1, in.data(), static_cast<std::uint32_t>(in.size()), out.data(),
                                static_cast<std::uint32_t>(out.size()), &got, 10000));
    EXPECT_EQ(got, in.size());
    EXPECT_EQ(in, out);
    EXPECT_TRUE(device->request(1, nullptr, 0, nullptr, 0, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(device->request(2, in.data(), 4, out.data(), 16, &got)) << "non-zero status";
    EXPECT_TRUE(device->request(3, nullptr, 0, out.data(), 16, &got));
    EXPECT_EQ(got, 16u) << "the server cuts output to the capacity";
    EXPECT_FALSE(device->request(4, nullptr, 0, out.data(), 16, &got)) << "a throwing handler fails the request";
    EXPECT_FALSE(device->request(1, in.data(), kMaxDeviceTransfer + 1, out.data(), 16, &got));

    // Requests from several threads on one handle each get their own reply.
    std::atomic<int> mismatches{0};
    std::vector<std::unique_ptr<Thread>> threads;
    for (int t = 0; t < 4; ++t) {
        threads.push_back(std::make_unique<Thread>());
        ASSERT_TRUE(threads.back()->start([&, t] {
            for (int i = 0; i < 200; ++i) {
                std::uint8_t q[64], a[64];
                std::uint32_t n = 0;
                std::memset(q, t * 50 + i % 50, sizeof q);
                const std::uint32_t len = 1 + static_cast<std::uint32_t>((t * 13 + i) % 64);
                if (!device->request(1, q, len, a, sizeof a, &n, 10000) || n != len || std::memcmp(q, a, n) != 0)
                    ++mismatches;
            }
        }));
    }
    for (auto& t : threads) t->join();
    EXPECT_EQ(mismatches.load(), 0);

    device.reset();
    quit.send();
    EXPECT_EQ(waitChild(child), 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the server removes its socket file";
}

TEST(DeviceChannel, MalformedRepliesFailCleanly) {
    const std::string path = socketPath("raw");
    Pipe ready;
    // A peer that answers by hand: per request code, a good or a bad reply.
    const pid_t child = forkChild([&] {
        unlink(path.c_str());
        const int listener = rawSocket(path, true);
        if (listener < 0) return 1;
        ready.send();
        for (int connection = 0; connection < 3; ++connection) {
            const int fd = accept(listener, nullptr, nullptr);
            if (fd < 0) return 2;
            std::uint8_t head[12];
            while (recv(fd, head, 12, MSG_WAITALL) == 12) {
                const std::uint32_t code = readLe32(head + 4), cap = readLe32(head + 8);
                std::vector<std::uint8_t> reply(8 + cap + 16, 0xEE);
                std::uint32_t length = 8 + cap;
                if (code == 10) length = 8 + cap + 16;  // longer than the capacity
                if (code == 12) length = 4;            // shorter than a reply header
                if (code == 13) continue;              // no reply at all
                writeLe32(reply.data(), length);
                writeLe32(reply.data() + 4, 0);
                send(fd, reply.data(), code == 12 ? 8 : length, MSG_NOSIGNAL);
            }
            close(fd);
        }
        unlink(path.c_str());
        return 0;
    });
    ASSERT_TRUE(ready.receive());
    std::uint8_t out[32];
    std::uint32_t got = 99;
    {
        auto device = openWhenReady(path);
        ASSERT_TRUE(device);
        EXPECT_FALSE(device->request(10, nullptr, 0, out, 8, &got));
        EXPECT_EQ(got, 0u);
        EXPECT_TRUE(device->request(11, nullptr, 0, out, 8, &got)) << "the long reply was skipped whole";
        EXPECT_EQ(got, 8u);
        EXPECT_FALSE(device->request(12, nullptr, 0, out, 8, &got));
        EXPECT_FALSE(device->request(11, nullptr, 0, out, 8, &got)) << "the stream position is lost for good";
    }
    {
        auto device = openWhenReady(path);
        ASSERT_TRUE(device);
        EXPECT_FALSE(device->request(13, nullptr, 0, out, 8, &got, 100)) << "bounded wait for a missing reply";
    }
    {
        auto device = openWhenReady(path);
        ASSERT_TRUE(device);
        EXPECT_TRUE(device->request(11, nullptr, 0, out, 32, &got));
        EXPECT_EQ(got, 32u);
    }
    EXPECT_EQ(waitChild(child), 0);
}

TEST(DeviceChannel, ServerRejectsBadFramingAndOpenReportsErrors) {
    int error = 0;
    EXPECT_EQ(DeviceHandle::open("/tmp/tavin-test-none-" + std::to_string(getpid()), &error), nullptr);
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(DeviceHandle::open(std::string(200, 'x'), &error), nullptr);
    EXPECT_EQ(error, ENAMETOOLONG);

    const std::string path = socketPath("framing");
    {
        std::ofstream(path) << "not a socket";
        EXPECT_EQ(DeviceServer::start(path, testHandler), nullptr) << "only a stale socket is replaced";
        unlink(path.c_str());
        // A socket file left behind by a server that is gone.
        const int stale = rawSocket(path, true);
        ASSERT_GE(stale, 0);
        close(stale);
    }
    auto server = DeviceServer::start(path, testHandler);
    ASSERT_TRUE(server);

    auto rawClient = [&] {
        const int fd = rawSocket(path, false);
        EXPECT_GE(fd, 0);
        timeval bound{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        return fd;
    };
    auto sendHeader = [](int fd, std::uint32_t total, std::uint32_t code, std::uint32_t cap) {
        std::uint8_t h[12];
        writeLe32(h, total);
        writeLe32(h + 4, code);
        writeLe32(h + 8, cap);
        EXPECT_EQ(send(fd, h, 12, MSG_NOSIGNAL), 12);
    };
    std::uint8_t reply[8];
    // Lengths outside the framing: an EINVAL reply, then the connection ends.
    for (std::uint32_t total : {4u, 12u + kMaxDeviceTransfer + 1}) {
        const int fd = rawClient();
        sendHeader(fd, total, 1, 0);
        ASSERT_EQ(recv(fd, reply, 8, MSG_WAITALL), 8);
        EXPECT_EQ(readLe32(reply), 8u);
        EXPECT_EQ(readLe32(reply + 4), static_cast<std::uint32_t>(EINVAL));
        EXPECT_EQ(recv(fd, reply, 8, 0), 0);
        close(fd);
    }
    // A capacity beyond the bound is refused, and the connection stays usable.
    const int fd = rawClient();
    sendHeader(fd, 12, 1, kMaxDeviceTransfer + 1);
    ASSERT_EQ(recv(fd, reply, 8, MSG_WAITALL), 8);
    EXPECT_EQ(readLe32(reply + 4), static_cast<std::uint32_t>(EINVAL));
    sendHeader(fd, 13, 1, 4);
    EXPECT_EQ(send(fd, "z", 1, MSG_NOSIGNAL), 1);
    std::uint8_t echo[9];
    ASSERT_EQ(recv(fd, echo, 9, MSG_WAITALL), 9);
    EXPECT_EQ(readLe32(echo), 9u);
    EXPECT_EQ(readLe32(echo + 4), 0u);
    EXPECT_EQ(echo[8], 'z');
    close(fd);
    server.reset();
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST(CaptureDevices, DirectoryParsing) {
    char tmpl[] = "/tmp/tavin-devices-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    const std::string dir = tmpl;
    auto put = [&](const std::string& name, const std::string& text) { std::ofstream(dir + "/" + name) << text; };
    std::vector<CaptureDevice> devices{CaptureDevice{"old", "", false}};

    unsetenv("TAVIN_DEVICE_DIR");
    EXPECT_EQ(captureDeviceDirectory(), "/run/tavin/devices");
    setenv("TAVIN_DEVICE_DIR", (dir + "/missing").c_str(), 1);
    EXPECT_EQ(enumerateCaptureDevices(devices), kEnumUnavailable);
    EXPECT_TRUE(devices.empty());

    setenv("TAVIN_DEVICE_DIR", dir.c_str(), 1);
    EXPECT_EQ(enumerateCaptureDevices(devices), kEnumEmpty);
    put("notes.txt", "FriendlyName=Tavin Webcam\n");
    mkdir((dir + "/folder.device").c_str(), 0755);
    EXPECT_EQ(enumerateCaptureDevices(devices), kEnumEmpty) << "neither counts as a device file";

    put("b.device", "FriendlyName=Tavin Webcam\r\nDevicePath=/run/b.sock\r\n");
    put("a.device", "\xEF\xBB\xBFVendor=x\nDevicePath=/run/a.sock\nFriendlyName=Tavin Webcam Audio\n");
    put("C.device", "FriendlyName=Tavin Webcam #2");              // no DevicePath, no final newline
    put("\xC3\xA9.device", "FriendlyName=Tavin Webcam #3\nDevicePath=/run/e\n");  // sorts after ASCII
    put("lower.device", "friendlyname=Tavin Webcam #4\nDevicePath=/x\n");    // keys are case-sensitive
    put("big.device", "FriendlyName=Huge\n" + std::string(70 * 1024, '#'));
    ASSERT_EQ(enumerateCaptureDevices(devices), kEnumOk);
    ASSERT_EQ(devices.size(), 4u);
    EXPECT_EQ(devices[0].friendlyName, "Tavin Webcam #2");
    EXPECT_FALSE(devices[0].hasDevicePath);
    EXPECT_EQ(devices[1].friendlyName, "Tavin Webcam Audio");
    EXPECT_EQ(devices[1].devicePath, "/run/a.sock");
    EXPECT_EQ(devices[2].friendlyName, "Tavin Webcam");
    EXPECT_EQ(devices[2].devicePath, "/run/b.sock") << "carriage return stripped";
    EXPECT_EQ(devices[3].friendlyName, "Tavin Webcam #3");

    std::filesystem::remove_all(dir);
    unsetenv("TAVIN_DEVICE_DIR");
}

TEST(AddressChange, SignalledByAnAddressInAPrivateNamespace) {
    // The child gets a network namespace of its own, so the only interface
    // touched is that namespace's loopback.
    const pid_t child = forkChild([] {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return 77;
        int error = -1;
        auto event = AddressChangeEvent::open(&error);
        if (!event || error != 0) return 1;
        if (event->isSignalled()) return 2;
        event->reset();  // nothing pending: returns at once
        const int s = socket(AF_INET, SOCK_DGRAM, 0);
        ifreq ifr{};
        std::strcpy(ifr.ifr_name, "lo");
        if (ioctl(s, SIOCGIFFLAGS, &ifr) != 0) return 3;
        ifr.ifr_flags |= IFF_UP;
        if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0) return 77;  // loopback up adds 127.0.0.1 and ::1
        int i = 0;
        while (!event->isSignalled() && ++i < 500) sleepMs(10);
        if (!event->isSignalled()) return 4;
        for (i = 0; i < 50 && event->isSignalled(); ++i) {
            event->reset();
            sleepMs(10);
        }
        return event->isSignalled() ? 5 : 0;
    });
    const int result = waitChild(child);
    if (result == 77) GTEST_SKIP() << "no private network namespace here";
    EXPECT_EQ(result, 0);
}

TEST(Resources, FoundByNumber) {
    const auto gif = findResource(101);
    if (!gif.empty()) {
        ASSERT_GE(gif.size(), 6u);
        EXPECT_EQ(std::memcmp(gif.data(), "GIF8", 4), 0);
    }
    EXPECT_TRUE(findResource(100).empty());
    EXPECT_TRUE(findResource(-1).empty());
}
