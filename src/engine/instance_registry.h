// The process-wide table of constructed engine instances by index, read by
// every instance's worker and by the phone sinks. Separate from the
// InstanceTable the exports index: an instance enters itself at
// construction and leaves at destruction. Constant: empty at load, nothing
// to free at unload.
//
// Its lock is held only for short work on the entries (reading a phone id,
// queueing a command), never while a thread is joined, a transport is used
// or the host is called. Longer work on another instance (releasing its
// phone joins its receive thread) holds a Pin instead, taken under the lock:
// an instance leaving the table waits until no pin on it remains. A pin
// holder never waits for an instance to leave.
#pragma once

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

namespace tavin {

class EngineInstance;

class InstanceRegistry {
public:
    static constexpr int kSlots = 4;

    static void enter(int index, EngineInstance* instance);
    // Empties the entry, then waits until every pin on the instance is gone.
    static void leave(int index);

    // Keeps one instance from leaving the table while it lives.
    class Pin {
    public:
        Pin(Pin&& other) noexcept : index_(std::exchange(other.index_, -1)), instance_(other.instance_) {}
        Pin& operator=(Pin&&) = delete;
        ~Pin();
        EngineInstance& operator*() const { return *instance_; }
        EngineInstance* operator->() const { return instance_; }

    private:
        friend class InstanceRegistry;
        Pin(int index, EngineInstance* instance);
        int index_;
        EngineInstance* instance_;
    };

    // The following run f under the lock: f must only do short work.

    // Runs f(k, instance) for k = 0..3 while the entries hold instances,
    // stopping at the first empty one.
    template <class F>
    static void forEachUntilEmpty(F&& f) {
        std::lock_guard<std::mutex> guard(lock());
        for (int k = 0; k < kSlots; ++k) {
            if (!entries()[k]) break;
            f(k, *entries()[k]);
        }
    }
    // Runs f(k, instance) for every entry that holds one (empty ones skipped).
    template <class F>
    static void forEachPresent(F&& f) {
        std::lock_guard<std::mutex> guard(lock());
        for (int k = 0; k < kSlots; ++k) {
            if (entries()[k]) f(k, *entries()[k]);
        }
    }
    // Runs f(instance or null) for one index.
    template <class F>
    static auto with(int index, F&& f) {
        std::lock_guard<std::mutex> guard(lock());
        return f(index >= 0 && index < kSlots ? entries()[index] : nullptr);
    }
    // Pins the instances k = 0..3, up to the first empty entry, for which
    // wanted(instance) holds.
    template <class F>
    static std::vector<Pin> pinUntilEmpty(F&& wanted) {
        std::vector<Pin> pins;
        pins.reserve(kSlots);
        std::lock_guard<std::mutex> guard(lock());
        for (int k = 0; k < kSlots; ++k) {
            if (!entries()[k]) break;
            if (wanted(*entries()[k])) pins.push_back(Pin(k, entries()[k]));
        }
        return pins;
    }

private:
    static std::mutex& lock();
    static EngineInstance** entries();
};

}  // namespace tavin
