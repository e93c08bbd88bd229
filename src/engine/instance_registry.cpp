#include "engine/instance_registry.h"

namespace tavin {

namespace {

constinit std::mutex gLock;
constinit EngineInstance* gEntries[InstanceRegistry::kSlots] = {};
// Pins per index; written under gLock when taken, released without it.
constinit std::atomic<int> gPins[InstanceRegistry::kSlots] = {};

}  // namespace

std::mutex& InstanceRegistry::lock() { return gLock; }

EngineInstance** InstanceRegistry::entries() { return gEntries; }

InstanceRegistry::Pin::Pin(int index, EngineInstance* instance) : index_(index), instance_(instance) {
    gPins[index].fetch_add(1);
}

InstanceRegistry::Pin::~Pin() {
    if (index_ < 0) return;
    if (gPins[index_].fetch_sub(1) == 1) gPins[index_].notify_all();
}

void InstanceRegistry::enter(int index, EngineInstance* instance) {
    if (index < 0 || index >= kSlots) return;
    std::lock_guard<std::mutex> guard(gLock);
    gEntries[index] = instance;
}

void InstanceRegistry::leave(int index) {
    if (index < 0 || index >= kSlots) return;
    {
        std::lock_guard<std::mutex> guard(gLock);
        gEntries[index] = nullptr;
    }
    // No new pin can be taken now; the holders finish what they do (at
    // most a release of this instance's phone) and let go.
    for (int held = gPins[index].load(); held != 0; held = gPins[index].load()) gPins[index].wait(held);
}

}  // namespace tavin
