// Named mutexes, events and shared regions on POSIX shared memory.
//
// Object layouts (documented for driver authors in docs/platform-objects.md):
//
//   mutex object, 64 bytes:
//     0  u32  init state: 0 uninitialised, 1 initialising, 2 ready
//     4  u32  pid of the process that initialises (or initialised) it
//     8  pthread_mutex_t, process-shared, robust, recursive
//   event object, 64 bytes:
//     0  u32  0 = not signalled, any other value = signalled (a futex word)
//
// A fresh object is all zero bytes (ftruncate), which is a valid event and
// an uninitialised mutex.
#include "platform/named_objects.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <thread>

#include "platform/clock.h"

namespace tavin::platform {

namespace {

constexpr std::size_t kMutexObjectSize = 64;
constexpr std::size_t kMutexStateOffset = 0;
constexpr std::size_t kMutexInitPidOffset = 4;
constexpr std::size_t kMutexOffset = 8;
constexpr std::uint32_t kMutexUninitialised = 0;
constexpr std::uint32_t kMutexInitialising = 1;
constexpr std::uint32_t kMutexReady = 2;

constexpr std::size_t kEventObjectSize = 64;
constexpr std::size_t kEventWordOffset = 0;

static_assert(sizeof(pthread_mutex_t) <= kMutexObjectSize - kMutexOffset);
static_assert(alignof(pthread_mutex_t) <= 8);

// How long an opener waits for another process to finish initialising a
// mutex before it checks whether that process still exists.
constexpr auto kInitWait = std::chrono::milliseconds(500);

// Waits on a futex word are re-checked at least this often, so that a peer
// that stores the word without waking still gets noticed.
constexpr auto kWaitStep = std::chrono::milliseconds(100);

// A held mutex is tried again after these pauses, doubling from the first
// to the longest: a short hold costs little latency, a long one few tries.
constexpr auto kLockRetryFirst = std::chrono::microseconds(50);
constexpr auto kLockRetryMost = std::chrono::microseconds(1000);

std::atomic_ref<std::uint32_t> wordAt(std::uint8_t* base, std::size_t offset) {
    return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(base + offset));
}

// The POSIX name of a Windows-style name, or empty when the name cannot be
// one (an embedded NUL would silently name another object).
std::string posixName(std::string_view windowsName) {
    if (windowsName.find('\0') != std::string_view::npos) return {};
    return sharedObjectName(windowsName);
}

// Opens (creating when missing, mode 0666) the object, makes it at least
// `size` bytes long and maps `size` bytes of it. Null on failure.
std::uint8_t* openOrCreate(std::string_view windowsName, std::size_t size) {
    const std::string name = posixName(windowsName);
    if (name.empty() || size == 0) return nullptr;
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    // The creation mode went through the umask; everyone must be able to
    // open the object. Fails harmlessly on an object of another user.
    (void)fchmod(fd, 0666);
    struct stat st{};
    bool ok = fstat(fd, &st) == 0;
    if (ok && static_cast<std::size_t>(st.st_size) < size) {
        // Growing to the same size from several openers at once is harmless:
        // bytes already there are kept, new ones are zero.
        ok = ftruncate(fd, static_cast<off_t>(size)) == 0 && fstat(fd, &st) == 0 &&
             static_cast<std::size_t>(st.st_size) >= size;
    }
    void* data = MAP_FAILED;
    if (ok) data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return data == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(data);
}

bool processExists(std::uint32_t pid) {
    if (pid == 0 || pid > static_cast<std::uint32_t>(INT_MAX)) return false;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool initialiseMutex(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return false;
    bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
              pthread_mutex_init(mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

// Initialises the mutex once (state 0 -> 1 -> 2) or waits, bounded, for the
// process that does. An initialiser that died half-way is replaced. False
// when the object is not a usable mutex.
bool prepareMutex(std::uint8_t* base) {
    auto state = wordAt(base, kMutexStateOffset);
    auto initPid = wordAt(base, kMutexInitPidOffset);
    auto* mutex = reinterpret_cast<pthread_mutex_t*>(base + kMutexOffset);
    const auto self = static_cast<std::uint32_t>(getpid());

    auto finish = [&]() {
        if (initialiseMutex(mutex)) {
            state.store(kMutexReady, std::memory_order_release);
            return true;
        }
        initPid.store(0);
        state.store(kMutexUninitialised, std::memory_order_release);
        return false;
    };

    std::uint32_t seen = kMutexUninitialised;
    if (state.compare_exchange_strong(seen, kMutexInitialising, std::memory_order_acq_rel)) {
        initPid.store(self);
        return finish();
    }
    for (int round = 0; round < 2; ++round) {
        const auto deadline = std::chrono::steady_clock::now() + kInitWait;
        while (std::chrono::steady_clock::now() < deadline) {
            seen = state.load(std::memory_order_acquire);
            if (seen == kMutexReady) return true;
            if (seen != kMutexInitialising) return false;  // not one of ours
            sleepMs(1);
        }
        // Still initialising: take over only from an initialiser that is gone.
        std::uint32_t owner = initPid.load();
        if (processExists(owner)) return false;
        if (initPid.compare_exchange_strong(owner, self)) {
            if (state.load(std::memory_order_acquire) == kMutexReady) return true;
            return finish();
        }
        // Another opener took over; give it one more round.
    }
    return state.load(std::memory_order_acquire) == kMutexReady;
}

}  // namespace

std::string sharedObjectName(std::string_view windowsName) {
    std::string name;
    name.reserve(windowsName.size() + 1);
    name.push_back('/');
    for (char c : windowsName) name.push_back(c == '\\' ? '.' : c);
    return name;
}

// ---- NamedMutex -------------------------------------------------------------

struct NamedMutex::Impl {
    std::uint8_t* base = nullptr;
    pthread_mutex_t* mutex = nullptr;
    // Holds taken through this object, so that unlock() never releases a
    // hold taken through another object of the same name, and the
    // destructor can give back what its own thread still holds.
    std::atomic<std::thread::id> owner{};
    int depth = 0;  // changed only by the holding thread

    void noteHold() {
        if (owner.load() == std::this_thread::get_id()) {
            ++depth;
        } else {
            owner.store(std::this_thread::get_id());
            depth = 1;
        }
    }
};

std::unique_ptr<NamedMutex> NamedMutex::open(std::string_view windowsName) {
    std::uint8_t* base = openOrCreate(windowsName, kMutexObjectSize);
    if (!base) return nullptr;
    if (!prepareMutex(base)) {
        munmap(base, kMutexObjectSize);
        return nullptr;
    }
    std::unique_ptr<NamedMutex> m(new NamedMutex);
    m->impl_ = std::make_unique<Impl>();
    m->impl_->base = base;
    m->impl_->mutex = reinterpret_cast<pthread_mutex_t*>(base + kMutexOffset);
    return m;
}

void NamedMutex::unlink(std::string_view windowsName) {
    const std::string name = posixName(windowsName);
    if (!name.empty()) shm_unlink(name.c_str());
}

NamedMutex::~NamedMutex() {
    if (!impl_) return;
    // Unmapping a mutex this thread still holds would leave it locked by a
    // live thread that can no longer release it.
    while (impl_->owner.load() == std::this_thread::get_id() && impl_->depth > 0) unlock();
    munmap(impl_->base, kMutexObjectSize);
}

LockResult NamedMutex::lock(int timeoutMs) {
    if (!impl_) return LockResult::Failed;
    // The mutex is tried, and tried again after short sleeps until the
    // deadline on the monotonic clock. A timed lock would take its deadline
    // on the settable real-time clock, where a step back of the clock
    // lengthens the wait; tries keep the bound whatever the clock does, and
    // are what thread checkers see of a mutex.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    auto pause = kLockRetryFirst;
    int rc = pthread_mutex_trylock(impl_->mutex);
    while (rc == EBUSY) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) break;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, left));
        pause = std::min(pause * 2, kLockRetryMost);
        rc = pthread_mutex_trylock(impl_->mutex);
    }
    switch (rc) {
        case 0:
            impl_->noteHold();
            return LockResult::Acquired;
        case EOWNERDEAD:
            // The previous holder died holding it: we hold it now, and mark
            // it consistent so that it stays usable for everyone.
            pthread_mutex_consistent(impl_->mutex);
            impl_->noteHold();
            return LockResult::Abandoned;
        case EBUSY:
            return LockResult::TimedOut;
        default:  // ENOTRECOVERABLE, EAGAIN (recursion limit), EINVAL
            return LockResult::Failed;
    }
}

void NamedMutex::unlock() {
    if (!impl_ || impl_->owner.load() != std::this_thread::get_id() || impl_->depth <= 0) return;
    if (--impl_->depth == 0) impl_->owner.store(std::thread::id{});
    pthread_mutex_unlock(impl_->mutex);
}

// ---- NamedEvent -------------------------------------------------------------

struct NamedEvent::Impl {
    std::uint8_t* base = nullptr;
    std::uint32_t* word() const { return reinterpret_cast<std::uint32_t*>(base + kEventWordOffset); }
};

std::unique_ptr<NamedEvent> NamedEvent::open(std::string_view windowsName) {
    std::uint8_t* base = openOrCreate(windowsName, kEventObjectSize);
    if (!base) return nullptr;
    std::unique_ptr<NamedEvent> e(new NamedEvent);
    e->impl_ = std::make_unique<Impl>();
    e->impl_->base = base;
    return e;
}

void NamedEvent::unlink(std::string_view windowsName) {
    const std::string name = posixName(windowsName);
    if (!name.empty()) shm_unlink(name.c_str());
}

NamedEvent::~NamedEvent() {
    if (impl_) munmap(impl_->base, kEventObjectSize);
}

void NamedEvent::set() {
    if (!impl_) return;
    std::atomic_ref<std::uint32_t>(*impl_->word()).store(1, std::memory_order_release);
    // Not FUTEX_PRIVATE_FLAG: waiters may be in other processes.
    syscall(SYS_futex, impl_->word(), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void NamedEvent::reset() {
    if (!impl_) return;
    std::atomic_ref<std::uint32_t>(*impl_->word()).store(0, std::memory_order_release);
}

bool NamedEvent::isSet() const {
    return impl_ && std::atomic_ref<std::uint32_t>(*impl_->word()).load(std::memory_order_acquire) != 0;
}

bool NamedEvent::wait(int timeoutMs) {
    if (!impl_) return false;
    std::atomic_ref<std::uint32_t> word(*impl_->word());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        if (word.load(std::memory_order_acquire) != 0) return true;
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return false;
        const auto step = std::chrono::duration_cast<std::chrono::nanoseconds>(left < kWaitStep ? left : kWaitStep);
        timespec rel{static_cast<time_t>(step.count() / 1000000000), static_cast<long>(step.count() % 1000000000)};
        // Sleeps only while the word is still 0; wakes on set(), a signal or
        // the step's end, then re-checks.
        syscall(SYS_futex, impl_->word(), FUTEX_WAIT, 0, &rel, nullptr, 0);
    }
}

// ---- SharedRegion -----------------------------------------------------------

std::unique_ptr<SharedRegion> SharedRegion::openExisting(std::string_view windowsName, std::size_t size) {
    const std::string name = posixName(windowsName);
    if (name.empty() || size == 0) return nullptr;
    const int fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    struct stat st{};
    void* data = MAP_FAILED;
    if (fstat(fd, &st) == 0 && st.st_size >= 0 && static_cast<std::size_t>(st.st_size) >= size)
        data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (data == MAP_FAILED) return nullptr;
    return std::unique_ptr<SharedRegion>(new SharedRegion(static_cast<std::uint8_t*>(data), size));
}

std::unique_ptr<SharedRegion> SharedRegion::create(std::string_view windowsName, std::size_t size) {
    std::uint8_t* data = openOrCreate(windowsName, size);
    if (!data) return nullptr;
    return std::unique_ptr<SharedRegion>(new SharedRegion(data, size));
}

void SharedRegion::unlink(std::string_view windowsName) {
    const std::string name = posixName(windowsName);
    if (!name.empty()) shm_unlink(name.c_str());
}

SharedRegion::~SharedRegion() {
    if (data_) munmap(data_, size_);
}

}  // namespace tavin::platform
