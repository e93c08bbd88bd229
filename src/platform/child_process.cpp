// Child processes started with posix_spawnp, which runs the program in the
// new process without running any code of this one there (safe while other
// threads hold locks) and reports a failed exec back to the caller.
#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/clock.h"

extern char** environ;

namespace tavin::platform {

namespace {

constexpr int kFirstInheritedFd = 3;  // 0, 1 and 2 are set up for the child
constexpr int kExitPollMs = 10;

// Moves a descriptor above the standard ones, so that a process whose
// standard descriptors are closed cannot hand the child its own pipe end
// as stdin (or dup a descriptor onto itself, which would keep its
// close-on-exec flag).
bool moveAboveStandard(int& fd) {
    if (fd >= kFirstInheritedFd) return true;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kFirstInheritedFd);
    const int saved = errno;
    close(fd);
    fd = moved;
    errno = saved;
    return moved >= 0;
}

class SpawnSetup {
public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions_);
        posix_spawnattr_init(&attributes_);
    }
    ~SpawnSetup() {
        posix_spawnattr_destroy(&attributes_);
        posix_spawn_file_actions_destroy(&actions_);
    }
    // stdin from /dev/null, stdout and stderr to `writeFd`, nothing else
    // inherited; default signal actions and an empty signal mask.
    bool prepare(int writeFd) {
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        return posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) == 0 &&
               posix_spawn_file_actions_adddup2(&actions_, writeFd, 1) == 0 &&
               posix_spawn_file_actions_adddup2(&actions_, writeFd, 2) == 0 &&
               posix_spawn_file_actions_addclosefrom_np(&actions_, kFirstInheritedFd) == 0 &&
               posix_spawnattr_setsigdefault(&attributes_, &all) == 0 &&
               posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
               posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
    }
    const posix_spawn_file_actions_t* actions() const { return &actions_; }
    const posix_spawnattr_t* attributes() const { return &attributes_; }

private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv, StartFailure* failure,
                                                  int* error) {
    StartFailure failureScratch = StartFailure::None;
    int errorScratch = 0;
    if (failure == nullptr) failure = &failureScratch;
    if (error == nullptr) error = &errorScratch;
    *failure = StartFailure::None;
    *error = 0;
    if (argv.empty()) {
        *failure = StartFailure::Process;
        *error = EINVAL;
        return nullptr;
    }

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0 || !moveAboveStandard(fds[0]) || !moveAboveStandard(fds[1])) {
        *failure = StartFailure::Pipe;
        *error = errno;
        return nullptr;
    }
    int readFd = fds[0];
    const int writeFd = fds[1];
    // Only this side reads without blocking; the child writes as usual.
    const int flags = fcntl(readFd, F_GETFL);
    SpawnSetup setup;
    if (flags < 0 || fcntl(readFd, F_SETFL, flags | O_NONBLOCK) != 0 || !setup.prepare(writeFd)) {
        *failure = StartFailure::Pipe;
        *error = errno;
        close(readFd);
        close(writeFd);
        return nullptr;
    }

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], setup.actions(), setup.attributes(), args.data(), environ);
    close(writeFd);  // the child holds the only write end from here on
    if (rc != 0) {
        *failure = StartFailure::Process;
        *error = rc;
        close(readFd);
        return nullptr;
    }
    return std::unique_ptr<ChildProcess>(new ChildProcess(pid, readFd));
}

ChildProcess::~ChildProcess() {
    kill();
    if (readFd_ >= 0) close(readFd_);
}

int ChildProcess::bytesAvailable() const {
    int count = 0;
    if (ioctl(readFd_, FIONREAD, &count) != 0) return -1;
    return count;
}

OutputState ChildProcess::waitForOutput(int timeoutMs) {
    pollfd p{readFd_, POLLIN, 0};
    int rc;
    do {
        rc = poll(&p, 1, std::max(timeoutMs, 0));
    } while (rc < 0 && errno == EINTR);
    if (bytesAvailable() > 0) return OutputState::Available;
    // POLLHUP with nothing left: every writer is gone.
    if (rc > 0 && (p.revents & (POLLHUP | POLLERR)) != 0) return OutputState::Closed;
    return OutputState::Nothing;
}

ReadStatus ChildProcess::read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs, std::size_t& got) {
    got = 0;
    const double deadline = processClock() + std::max(timeoutMs, 0) / 1000.0;
    for (;;) {
        const ssize_t n = ::read(readFd_, buffer, capacity);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return ReadStatus::Data;
        }
        if (n == 0) return ReadStatus::EndOfOutput;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return ReadStatus::Failed;
        const int leftMs = static_cast<int>((deadline - processClock()) * 1000.0);
        if (leftMs <= 0) return ReadStatus::NothingYet;
        pollfd p{readFd_, POLLIN, 0};
        if (poll(&p, 1, leftMs) < 0 && errno != EINTR) return ReadStatus::Failed;
    }
}

bool ChildProcess::reapIfEnded() {
    if (ended_) return true;
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    // ECHILD: somebody else reaped it (or SIGCHLD is ignored): it has ended.
    if (r == pid_ || (r < 0 && errno == ECHILD)) ended_ = true;
    return ended_;
}

bool ChildProcess::waitForExit(int timeoutMs, const std::atomic<bool>* keepWaiting) {
    const double deadline = processClock() + std::max(timeoutMs, 0) / 1000.0;
    while (!reapIfEnded()) {
        if (processClock() >= deadline || (keepWaiting != nullptr && !keepWaiting->load())) return false;
        sleepMs(kExitPollMs);
    }
    return true;
}

void ChildProcess::kill() {
    if (reapIfEnded()) return;
    ::kill(pid_, SIGKILL);
    // A killed process ends as soon as the kernel schedules it; this wait is
    // what leaves no zombie behind.
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    ended_ = true;
}

}  // namespace tavin::platform
