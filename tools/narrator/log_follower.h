// Follows a log file that a running program appends to, as `tail -F`
// would: each read() returns the whole lines added since the last one. A
// file that does not exist yet is looked for again at every read. Lines are
// bounded: a longer one is cut to kMaxLine bytes and the rest of it dropped.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tavin::narrator {

class LogFollower {
public:
    static constexpr std::size_t kMaxLine = 4096;

    explicit LogFollower(std::string path) : path_(std::move(path)) {}
    ~LogFollower();
    LogFollower(const LogFollower&) = delete;
    LogFollower& operator=(const LogFollower&) = delete;

    // Appends the complete lines added since the last call to `lines`.
    void read(std::vector<std::string>& lines);

private:
    std::string path_;
    int fd_ = -1;
    std::string partial_;
    bool cutting_ = false;  // dropping the rest of an overlong line
};

}  // namespace tavin::narrator
