// One owned thread of the engine.
//
// Every long-running activity owns one Thread and a running flag of its own:
// stopping clears the flag, wakes the thread if it waits, then joins it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace tavin::platform {

class Thread {
public:
    Thread() = default;
    // Joins a thread that was started and not joined yet. Run on the thread
    // itself (the body destroys its own owner), it detaches instead.
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts `body` on a new thread. Returns false when the system refuses a
    // new thread (or a test asked for refusals, below); nothing runs then.
    // Returns false, starting nothing, while a started thread has not been
    // joined yet.
    bool start(std::function<void()> body);

    // Starts (*owner.*body)() on a new thread that holds `owner` for its
    // whole run: the object may lose every other owner meanwhile, and is
    // then freed on this thread once the body has returned. As start().
    template <class T>
    bool startHolding(std::shared_ptr<T> owner, void (T::*body)()) {
        return start([owner = std::move(owner), body]() mutable {
            ((*owner).*body)();
            owner.reset();
        });
    }

    // Waits for the thread to end. Does nothing when none was started, or
    // when called from the thread itself (it cannot wait for itself).
    void join();

    bool started() const { return thread_.joinable(); }

    // True when called on this thread.
    bool isCurrent() const;

    // Makes the next `count` calls of start() anywhere in the process fail,
    // as if the system had refused the thread. For tests of that path only.
    static void refuseStartsForTesting(int count);

private:
    std::thread thread_;
    // The running thread's id, readable from any thread.
    std::atomic<std::thread::id> id_{};
};

}  // namespace tavin::platform
