#include "control_input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "control_command.h"
#include "phone_log.h"

namespace tavin::phonesim {

ControlInput::ControlInput(LineHandler handler) : handler_(std::move(handler)) {}

ControlInput::~ControlInput() { stop(); }

bool ControlInput::start(const std::string& path, std::string& error) {
    if (thread_.joinable()) {
        error = "control input already started";
        return false;
    }
    if (path == "-") {
        fd_ = STDIN_FILENO;
        ownsFd_ = false;
    } else {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
        // Read-write on a FIFO keeps one writer alive ourselves, so the
        // reader never sees end-of-file when a writer closes.
        int flags = S_ISFIFO(info.st_mode) ? O_RDWR : O_RDONLY;
        fd_ = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
        ownsFd_ = true;
    }
    running_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
}

void ControlInput::stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
    if (ownsFd_ && fd_ >= 0) ::close(fd_);
    fd_ = -1;
    ownsFd_ = false;
}

void ControlInput::run() {
    std::string line;
    bool discarding = false;  // inside a line that grew past the limit
    char chunk[1024];
    while (running_) {
        pollfd pfd{fd_, POLLIN, 0};
        int ready = ::poll(&pfd, 1, 100);
        if (ready < 0 && errno != EINTR) {
            logLine("control input failed: %s", std::strerror(errno));
            return;
        }
        if (ready <= 0) continue;
        ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            logLine("control input failed: %s", std::strerror(errno));
            return;
        }
        if (n == 0) {
            if (!line.empty() && !discarding) handler_(line);
            logLine("control input ended");
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            char c = chunk[i];
            if (c == '\n') {
                if (!discarding) handler_(line);
                line.clear();
                discarding = false;
            } else if (!discarding) {
                if (line.size() >= kMaxCommandLine) {
                    logLine("control line longer than %zu bytes ignored", kMaxCommandLine);
                    line.clear();
                    discarding = true;
                } else {
                    line.push_back(c);
                }
            }
        }
    }
}

}  // namespace tavin::phonesim
