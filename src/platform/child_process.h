// A program run as a child process, its output read through one pipe.
//
// The program is found through PATH (a name without '/') and started with
// an argument vector, never through a shell, so no argument can add further
// ones. Its standard output and standard error share one pipe, its standard
// input is /dev/null, every signal starts with its default action, and it
// inherits no other descriptor of this process. Every wait is bounded; a
// child that has not ended when its owner lets it go is killed (SIGKILL)
// and reaped, so no zombie is left.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tavin::platform {

enum class StartFailure {
    None,
    Pipe,     // the pipe could not be made
    Process,  // the program could not be started (not found, not allowed, ...)
};

// What the pipe holds after a wait.
enum class OutputState {
    Available,  // bytes are waiting
    Closed,     // nothing waits and every writer closed its end
    Nothing,    // nothing arrived within the wait
};

enum class ReadStatus {
    Data,         // `got` bytes were read
    EndOfOutput,  // every writer closed its end and nothing is left
    NothingYet,   // nothing arrived within the wait
    Failed,
};

class ChildProcess {
public:
    // Starts argv[0] with argv (argv must not be empty). Null on failure,
    // with the failing step in *failure and the errno in *error (ENOENT
    // when the program is not found).
    static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv, StartFailure* failure,
                                               int* error);
    // Kills and reaps a child that still runs, and closes the pipe.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The number of bytes waiting in the pipe (FIONREAD), -1 when the query
    // fails.
    int bytesAvailable() const;

    // Waits at most timeoutMs until bytes wait in the pipe or every writer
    // closed it.
    OutputState waitForOutput(int timeoutMs);

    // Reads at most `capacity` bytes, waiting at most timeoutMs for some.
    ReadStatus read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs, std::size_t& got);

    // Waits at most timeoutMs for the child to end; the wait also ends as
    // soon as `keepWaiting` (when given) turns false. True when it ended.
    bool waitForExit(int timeoutMs, const std::atomic<bool>* keepWaiting = nullptr);

    // Kills the child (SIGKILL) when it still runs and reaps it.
    void kill();

    pid_t pid() const { return pid_; }
    bool ended() const { return ended_; }

private:
    ChildProcess(pid_t pid, int readFd) : pid_(pid), readFd_(readFd) {}
    // Reaps the child when it has ended; true when it has.
    bool reapIfEnded();

    pid_t pid_;
    int readFd_;
    bool ended_ = false;
};

}  // namespace tavin::platform
