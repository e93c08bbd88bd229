// The process clock and a plain sleep.
#include "platform/clock.h"

#include <cerrno>
#include <ctime>

namespace tavin::platform {

namespace {

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

double processClock() {
    // The start value is taken by the first caller; the initialisation of a
    // function-local static is thread-safe.
    static const double start = monotonicSeconds();
    return monotonicSeconds() - start;
}

void sleepMs(int ms) {
    if (ms <= 0) return;
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace tavin::platform
