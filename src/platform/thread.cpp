// One owned thread of the engine.
#include "platform/thread.h"

#include <memory>
#include <system_error>
#include <utility>

namespace tavin::platform {

namespace {

std::atomic<int> refusals{0};

// Takes one pending refusal, if any.
bool takeRefusal() {
    int pending = refusals.load();
    while (pending > 0) {
        if (refusals.compare_exchange_weak(pending, pending - 1)) return true;
    }
    return false;
}

}  // namespace

Thread::~Thread() {
    if (!thread_.joinable()) return;
    if (isCurrent()) {
        // A thread cannot wait for itself; it ends on its own.
        thread_.detach();
    } else {
        thread_.join();
    }
}

bool Thread::start(std::function<void()> body) {
    if (thread_.joinable() || !body) return false;
    if (takeRefusal()) return false;
    // The body starts only once this object is fully set up, so that it may
    // ask isCurrent(), join itself or even destroy its owner from the start.
    auto gate = std::make_shared<std::atomic<bool>>(false);
    try {
        thread_ = std::thread([gate, body = std::move(body)]() {
            gate->wait(false);
            body();
        });
    } catch (const std::system_error&) {
        return false;
    }
    id_.store(thread_.get_id());
    gate->store(true);
    gate->notify_one();
    return true;
}

void Thread::join() {
    if (!thread_.joinable() || isCurrent()) return;
    thread_.join();
    id_.store(std::thread::id{});
}

bool Thread::isCurrent() const {
    // id_ holds no thread's id unless a thread was started and not joined.
    return id_.load() == std::this_thread::get_id();
}

void Thread::refuseStartsForTesting(int count) { refusals.store(count < 0 ? 0 : count); }

}  // namespace tavin::platform
