// The process-wide table the exports index: the four slots, the count of
// slots opened so far, and the host's status callback. Constant: empty at
// load (so a library loaded again starts with no slot opened), nothing to
// free at unload; the instances in it belong to the host's EInitialize and
// EUninitialize calls.
#pragma once

#include <cstdint>

#include "engine.h"

namespace tavin {

class EngineInstance;

class InstanceTable {
public:
    static constexpr int kSlots = 4;

    // The instance of a slot, or null for an index above 3 or an empty slot.
    static EngineInstance* at(std::uint32_t index);
    static void put(int index, EngineInstance* instance);
    // Empties the slot and returns what it held.
    static EngineInstance* take(std::uint32_t index);

    // Slots opened by EOpen so far; only ever grows.
    static int openCount();
    // Claims the next slot to open: its index, or -1 when none is left.
    static int claimNextOpen();

    static void setStatusCallback(EngineStatusCallback cb);
};

// Raises the status callback (when one was given) with (index, code).
void reportStatus(int index, std::int32_t code);

}  // namespace tavin
