// The process clock: monotonic seconds since the first reading.
#pragma once

namespace tavin::platform {

// Seconds as a double since the first call in this process (CLOCK_MONOTONIC).
// Every time-out, spacing and time stamp of the engine reads this clock.
// Thread-safe.
double processClock();

// Sleeps the calling thread for about `ms` milliseconds.
void sleepMs(int ms);

}  // namespace tavin::platform
