#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>

#ifndef TOOLS_DIR
#define TOOLS_DIR "."
#endif

namespace tavin::test {

ChildProcess::ChildProcess(std::vector<std::string> argv, std::vector<std::string> env) {
    int out[2], in[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        for (const std::string& e : env) putenv(strdup(e.c_str()));
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(in[0]);
    stdin_ = in[1];
    reader_ = std::thread([this, fd = out[0]] { readLoop(fd); });
}

ChildProcess::~ChildProcess() {
    stop();
    if (stdin_ >= 0) close(stdin_);
    if (reader_.joinable()) reader_.join();
}

void ChildProcess::readLoop(int fd) {
    std::string partial;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        partial.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = partial.find('\n')) != std::string::npos) {
            std::lock_guard<std::mutex> guard(lock_);
            lines_.push_back(partial.substr(0, nl));
            partial.erase(0, nl + 1);
            changed_.notify_all();
        }
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (!partial.empty()) lines_.push_back(partial);
    outputEnded_ = true;
    changed_.notify_all();
    close(fd);
}

std::optional<std::string> ChildProcess::waitForLine(const std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t checked = 0;
    for (;;) {
        for (; checked < lines_.size(); ++checked) {
            if (lines_[checked].find(text) != std::string::npos) return lines_[checked];
        }
        if (changed_.wait_until(guard, deadline) == std::cv_status::timeout) {
            for (; checked < lines_.size(); ++checked) {
                if (lines_[checked].find(text) != std::string::npos) return lines_[checked];
            }
            return std::nullopt;
        }
    }
}

int ChildProcess::countLines(const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    int n = 0;
    for (const std::string& line : lines_) n += line.find(text) != std::string::npos;
    return n;
}

std::vector<std::string> ChildProcess::lines() {
    std::lock_guard<std::mutex> guard(lock_);
    return lines_;
}

void ChildProcess::writeLine(const std::string& line) {
    const std::string data = line + "\n";
    if (stdin_ >= 0) (void)!write(stdin_, data.data(), data.size());
}

int ChildProcess::stop(std::chrono::milliseconds timeout) {
    if (exited_ || pid_ <= 0) return exitStatus_;
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return exitStatus_;
        }
        usleep(10'000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    exited_ = true;
    return -1;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (!exited_) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        usleep(10'000);
    }
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_until(guard, deadline, [this] { return outputEnded_; });
    return exitStatus_;
}

std::string toolPath(const std::string& name) { return std::string(TOOLS_DIR) + "/" + name; }

TempDir::TempDir() {
    char pattern[] = "/tmp/engine-test-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace tavin::test
