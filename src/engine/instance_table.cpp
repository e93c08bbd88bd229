#include "engine/instance_table.h"

#include <atomic>
#include <mutex>

namespace tavin {

namespace {
constinit std::atomic<EngineInstance*> g_slots[InstanceTable::kSlots] = {};
constinit std::atomic<int> g_openCount{0};
constinit std::atomic<EngineStatusCallback> g_status{nullptr};
constinit std::mutex g_openLock;
}  // namespace

EngineInstance* InstanceTable::at(std::uint32_t index) {
    return index < kSlots ? g_slots[index].load() : nullptr;
}

void InstanceTable::put(int index, EngineInstance* instance) {
    if (index >= 0 && index < kSlots) g_slots[index].store(instance);
}

EngineInstance* InstanceTable::take(std::uint32_t index) {
    return index < kSlots ? g_slots[index].exchange(nullptr) : nullptr;
}

int InstanceTable::openCount() { return g_openCount.load(); }

int InstanceTable::claimNextOpen() {
    std::lock_guard<std::mutex> guard(g_openLock);
    const int n = g_openCount.load();
    if (n >= kSlots || !g_slots[n].load()) return -1;
    g_openCount.store(n + 1);
    return n;
}

void InstanceTable::setStatusCallback(EngineStatusCallback cb) { g_status.store(cb); }

void reportStatus(int index, std::int32_t code) {
    if (auto cb = g_status.load()) cb(index, code);
}

}  // namespace tavin
