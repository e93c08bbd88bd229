#include "log_follower.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tavin::narrator {

LogFollower::~LogFollower() {
    if (fd_ >= 0) ::close(fd_);
}

void LogFollower::read(std::vector<std::string>& lines) {
    if (fd_ < 0) fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nothing more for now
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (c == '\n') {
                lines.push_back(std::move(partial_));
                partial_.clear();
                cutting_ = false;
            } else if (!cutting_) {
                partial_.push_back(c);
                cutting_ = partial_.size() >= kMaxLine;
            }
        }
    }
}

}  // namespace tavin::narrator
