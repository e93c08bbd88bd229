// The host's side of the end-to-end benchmarks: the engine linked into the
// benchmark, opened as a host opens it.
#pragma once

#include <optional>

#include "bench_driver.h"

namespace tavin::bench {

// Starts the drivers' side and opens one engine slot per camera of
// `driver` (EInitialize, then EOpen for each). Returns the resident memory
// (bytes) just before EInitialize; nothing, with the reason on standard
// error, when the drivers' side cannot start.
std::optional<double> openEngineSlots(BenchDriver& driver, int slots);

}  // namespace tavin::bench
