#include "pipewire_connection.h"

#include <cerrno>
#include <cstring>

#include "platform/clock.h"

namespace tavin::webcamd {
namespace {

constexpr double kRetrySeconds = 1.0;

}  // namespace

std::string nodeName(const char* base, int index) {
    return index == 0 ? std::string(base) : std::string(base) + "-" + std::to_string(index + 1);
}

PipewireConnection::~PipewireConnection() { stop(); }

bool PipewireConnection::start(std::string& error) {
    loop_ = pw_thread_loop_new("tavin-webcamd", nullptr);
    if (!loop_) {
        error = std::string("cannot make the PipeWire loop: ") + std::strerror(errno);
        return false;
    }
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    if (!context_) {
        error = std::string("cannot make the PipeWire context: ") + std::strerror(errno);
        return false;
    }
    if (pw_thread_loop_start(loop_) < 0) {
        error = "cannot start the PipeWire loop";
        return false;
    }
    return true;
}

void PipewireConnection::stop() {
    if (loop_) pw_thread_loop_stop(loop_);
    disconnect();
    if (context_) pw_context_destroy(context_);
    context_ = nullptr;
    if (loop_) pw_thread_loop_destroy(loop_);
    loop_ = nullptr;
}

void PipewireConnection::onCoreError(void* data, std::uint32_t id, int seq, int res, const char* message) {
    (void)seq;
    auto* self = static_cast<PipewireConnection*>(data);
    // A broken connection shows as an error of the core object itself.
    if (id == PW_ID_CORE && res == -EPIPE) {
        self->lost_.store(true);
        self->console_.line("PipeWire connection lost: %s", message ? message : "");
    }
}

void PipewireConnection::maintain() {
    if (core_ || !context_) return;
    const double now = platform::processClock();
    if (lastAttempt_ >= 0.0 && now - lastAttempt_ < kRetrySeconds) return;
    lastAttempt_ = now;
    Lock lock(*this);
    core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_) {
        if (!reportedAbsent_) console_.line("PipeWire not reachable (%s); retrying every second", std::strerror(errno));
        reportedAbsent_ = true;
        return;
    }
    static const pw_core_events events = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.error = &PipewireConnection::onCoreError;
        return e;
    }();
    coreListener_ = spa_hook{};
    pw_core_add_listener(core_, &coreListener_, &events, this);
    lost_.store(false);
    reportedAbsent_ = false;
    console_.line("PipeWire connected");
}

void PipewireConnection::disconnect() {
    if (!core_) return;
    {
        Lock lock(*this);
        spa_hook_remove(&coreListener_);
        pw_core_disconnect(core_);
    }
    core_ = nullptr;
    lost_.store(false);
    lastAttempt_ = platform::processClock();
}

}  // namespace tavin::webcamd
