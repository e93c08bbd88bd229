#include "engine_slots.h"

#include <cstdio>
#include <string>

#include "engine.h"
#include "process_figures.h"

namespace tavin::bench {
namespace {

void onStatus(int32_t, int32_t) {}

}  // namespace

std::optional<double> openEngineSlots(BenchDriver& driver, int slots) {
    std::string error;
    if (!driver.start(error)) {
        std::fprintf(stderr, "bench: the drivers' side did not start: %s\n", error.c_str());
        return std::nullopt;
    }
    const double before = static_cast<double>(residentBytes());
    EInitialize(slots, onStatus);
    for (int i = 0; i < slots; ++i) EOpen();
    return before;
}

}  // namespace tavin::bench
