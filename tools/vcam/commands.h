// Commands that change the simulated consumer while the daemon runs, one a
// line on standard input or on a FIFO, and the reader that splits the input
// into bounded lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"

namespace tavin::vcam {

struct Command {
    enum class Kind { Format, Request, Consumer, ControlA, ControlB, FormatList, Snapshot, Record, Stats, Quit };
    // The longest clip `record` takes, in pictures.
    static constexpr std::uint32_t kMaxClipPictures = 100'000;
    Kind kind = Kind::Stats;
    int camera = 0;
    RequestedFormat format;    // Format, Request
    bool on = false;           // Consumer, FormatList
    std::int64_t value = 0;    // ControlA (int32), ControlB (uint32)
    std::string path;          // Snapshot, Record
    std::uint32_t pictures = 0;  // Record
};

// Parses one line. Returns false for a bad line with a reason in `error`,
// and for a blank or "#" comment line with `error` empty.
bool parseCommand(std::string_view line, Command& out, std::string& error);

// Splits what arrives on a descriptor into lines of at most kMaxLine bytes;
// a longer line is dropped whole and counted.
class LineReader {
public:
    static constexpr std::size_t kMaxLine = 1024;

    explicit LineReader(int fd) : fd_(fd) {}
    int fd() const { return fd_; }

    // Makes one read (call it when the descriptor is readable) and appends
    // complete lines to `lines`; `overlong` counts dropped lines. Returns
    // false at end of input or on a read error.
    bool read(std::vector<std::string>& lines, int& overlong);

private:
    int fd_;
    std::string partial_;
    bool discarding_ = false;
};

}  // namespace tavin::vcam
