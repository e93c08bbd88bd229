// The process-wide schedule of idle pictures: one animation frame counter
// shared by every camera output, and the pacing that lets the whole process
// draw at most about one idle picture per 100 ms. Several cameras drawing
// at once therefore advance the same animation faster and share the pace.
#pragma once

#include <atomic>
#include <cstdint>

namespace tavin {

class IdleSchedule {
public:
    // The process's schedule. It lives as long as the library (see
    // engine/engine_context.h).
    static IdleSchedule& process();

    // The frame number of the next idle picture: 0, 1, 2, ...
    std::uint64_t nextFrame() { return frame_.fetch_add(1, std::memory_order_relaxed); }

    // Called after each idle picture: sleeps for what is left of 100 ms since
    // the previous call anywhere in the process (not when at most 1 ms is
    // left), then notes the time read before sleeping.
    void pace();

private:
    std::atomic<std::uint64_t> frame_{0};
    std::atomic<double> last_{0.0};  // process clock seconds
};

}  // namespace tavin
