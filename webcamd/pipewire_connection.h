// The daemon's connection to the PipeWire server: one thread loop (the
// thread on which every stream event arrives), one context, and a core
// connection that comes and goes. The server may be absent or restart:
// maintain() connects at most once a second while there is no connection,
// and a connection the server dropped is reported by lost() until the
// owner has dropped its streams and called disconnect().
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <pipewire/pipewire.h>

#include "driver/console.h"

namespace tavin::webcamd {

// The node name of camera `index` under `base`: the base for camera 0,
// "<base>-2" .. "<base>-4" for the others, as the friendly names count.
std::string nodeName(const char* base, int index);

class PipewireConnection {
public:
    explicit PipewireConnection(driverside::Console& console) : console_(console) {}
    ~PipewireConnection();  // disconnects, stops the loop
    PipewireConnection(const PipewireConnection&) = delete;
    PipewireConnection& operator=(const PipewireConnection&) = delete;

    // Starts the thread loop. False with a reason.
    bool start(std::string& error);
    // Stops the loop thread and frees everything; streams must be gone.
    void stop();

    // Owner's thread: connects when there is no connection and the last
    // attempt is a second old.
    void maintain();
    // The server went away; the streams must be destroyed before disconnect().
    bool lost() const { return lost_.load(); }
    // Owner's thread: forgets the core (after the streams are destroyed).
    void disconnect();

    // The thread loop (use under Lock).
    pw_thread_loop* loop() const { return loop_; }
    // The core while connected (use under lock()), else null.
    pw_core* core() const { return core_; }
    bool connected() const { return core_ != nullptr && !lost_.load(); }

    // The loop lock: held for every call into PipeWire from other threads.
    class Lock {
    public:
        explicit Lock(PipewireConnection& c) : loop_(c.loop_) { pw_thread_loop_lock(loop_); }
        ~Lock() { pw_thread_loop_unlock(loop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pw_thread_loop* loop_;
    };

private:
    static void onCoreError(void* data, std::uint32_t id, int seq, int res, const char* message);

    driverside::Console& console_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    spa_hook coreListener_{};
    std::atomic<bool> lost_{false};
    double lastAttempt_ = -1.0;
    bool reportedAbsent_ = false;
};

}  // namespace tavin::webcamd
