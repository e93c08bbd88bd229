#include "stamp_clock.h"

#include <cmath>

namespace tavin::webcamd {
namespace {

constexpr double kMaxStepSeconds = 1.0;
constexpr std::int64_t kMaxDriftNs = 1'000'000'000;

}  // namespace

std::uint64_t StampClock::place(float stamp, std::uint64_t takenNs) {
    std::uint64_t placed = takenNs;
    if (started_ && stampValid_ && std::isfinite(stamp)) {
        const double step = static_cast<double>(stamp) - static_cast<double>(lastStamp_);
        if (step >= 0.0 && step <= kMaxStepSeconds) {
            const std::uint64_t candidate = lastNs_ + static_cast<std::uint64_t>(std::llround(step * 1e9));
            const std::int64_t drift = static_cast<std::int64_t>(candidate - takenNs);
            if (drift <= kMaxDriftNs && drift >= -kMaxDriftNs) placed = candidate;
        }
    }
    // Never the same time twice, never backwards.
    if (started_ && placed <= lastNs_) placed = lastNs_ + 1;
    started_ = true;
    stampValid_ = std::isfinite(stamp);
    lastStamp_ = stamp;
    lastNs_ = placed;
    return placed;
}

}  // namespace tavin::webcamd
