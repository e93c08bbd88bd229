#include "output/idle_schedule.h"

#include "platform/clock.h"

namespace tavin {
namespace {

constexpr double kPeriod = 0.1;         // seconds between idle pictures
constexpr double kShortestSleep = 0.001;

}  // namespace

void IdleSchedule::pace() {
    const double now = platform::processClock();
    double left = kPeriod - (now - last_.load(std::memory_order_relaxed));
    // Another camera may have noted a later time meanwhile: never more than
    // one period.
    if (left > kPeriod) left = kPeriod;
    if (left > kShortestSleep) platform::sleepMs(static_cast<int>(left * 1000.0));
    last_.store(now, std::memory_order_relaxed);
}

}  // namespace tavin
