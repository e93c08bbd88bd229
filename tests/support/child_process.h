// A tool started as a real child process for a test: its stdout and
// stderr are collected line by line on a reader thread, and it is stopped
// (SIGTERM, then SIGKILL) when the object goes away.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tavin::test {

class ChildProcess {
public:
    // Starts `argv[0]` with the arguments; extra environment entries are
    // "NAME=value". Throws std::runtime_error when it cannot start.
    explicit ChildProcess(std::vector<std::string> argv, std::vector<std::string> env = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits for an output line containing `text`; returns it, or nothing
    // after the time-out.
    std::optional<std::string> waitForLine(const std::string& text,
                                           std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Number of output lines containing `text` so far.
    int countLines(const std::string& text);
    std::vector<std::string> lines();
    // Writes a line to the child's standard input.
    void writeLine(const std::string& line);
    // SIGTERM and wait (bounded); returns the exit status or -1.
    int stop(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Waits (bounded) for the child to end by itself and its output to be
    // read; its exit status (-1 when killed by a signal), or nothing when it
    // still runs.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    pid_t pid() const { return pid_; }

private:
    void readLoop(int fd);

    pid_t pid_ = -1;
    int stdin_ = -1;
    std::thread reader_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    int exitStatus_ = -1;
    bool exited_ = false;
    bool outputEnded_ = false;
};

// The path of a built tool.
std::string toolPath(const std::string& name);

// A temporary directory removed (recursively) at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace tavin::test
