// One camera slot of the engine: its session with a phone (the session
// layer it derives from), the camera output towards the drivers, the video
// decoder of the current stream, the formats the phone offers, the host's
// callbacks, and one worker thread that serialises the slot's slow
// decisions (switching phones, reporting the phone list, telling the phone
// whether anybody watches, re-requesting the format, reacting to address
// changes). Instance 0 also owns the engine's process-wide services
// (engine/engine_context.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/host_callbacks.h"
#include "engine/instance_registry.h"
#include "media/frame_pair.h"
#include "media/video_decoder.h"
#include "output/camera_output.h"
#include "output/driver_control_sink.h"
#include "output/frame_publisher.h"
#include "platform/thread.h"
#include "session/session_handler.h"

namespace tavin {

class EngineContext;

// A decision for the worker. Kind 0 selects the phone with the id; kind 1
// reports the phone list after the delay; other kinds are ignored.
struct EngineCommand {
    static constexpr std::uint32_t kSelect = 0;
    static constexpr std::uint32_t kReport = 1;
    std::uint32_t kind = kReport;
    PhoneId id{};
    std::uint32_t zero = 0;
    double delay = 0.0;
};

// The instance's current session for sending: safe to use from any thread
// while another thread replaces or drops it (a sender holds its own
// reference for the duration of the send).
class CurrentTransport {
public:
    void set(std::shared_ptr<PhoneTransport> transport);
    void clear() { set(nullptr); }
    std::shared_ptr<PhoneTransport> get() const;
    bool present() const { return get() != nullptr; }
    // Sends on the current transport; false (and nothing sent) without one.
    bool send(const void* data, std::size_t length) const;

private:
    mutable std::mutex lock_;
    std::shared_ptr<PhoneTransport> transport_;
};

// The moment the next phone-list report is due. A new report request never
// postpones (or advances) one that is pending.
class ReportTimer {
public:
    void request(double now, double delay) {
        if (due_ == 0.0) due_ = now + delay;
    }
    // True (and the timer cleared) when a pending report is due at `now`.
    bool take(double now) {
        if (due_ == 0.0 || !(now > due_)) return false;
        due_ = 0.0;
        return true;
    }
    bool pending() const { return due_ != 0.0; }

private:
    double due_ = 0.0;
};

class EngineInstance final : public SessionHandler, public DriverControlSink, public PublishingHost {
public:
    // Result of open() when the worker thread cannot be started.
    static constexpr int kWorkerNotStarted = -7;

    EngineInstance(int instanceCount, int index);
    ~EngineInstance() override;

    // Opens the camera output and starts the worker (EOpen). Returns 0, a
    // negative result of the camera output, or kWorkerNotStarted.
    int open();
    // Stops the worker and everything the instance started.
    void close();

    HostCallbacks& host() { return host_; }

    // Appends a command for the worker (any thread).
    void queueCommand(const EngineCommand& command);

    // Host controls (the exports).
    void buttonEvent(std::int32_t code, std::int32_t value);
    void focus(float x, float y, std::uint8_t flag);
    void focusDistance(std::int32_t mode, float distance);
    void setActive(bool active) { active_.store(active); }
    bool active() const { return active_.load(); }
    bool hasOutput() const { return output_ != nullptr; }
    CameraOutput* output() const { return output_.get(); }
    void setBlank(std::uint8_t blank);
    void setVideoFormat(std::int32_t index);
    void selectByKey(const std::string& key);
    // The process-wide services: instance 0's, null for the others.
    EngineContext* context() const { return context_.get(); }

    PhoneId currentPhoneId() const;
    bool streamingSession() const { return transport_.present(); }
    // Runs the phone-list report now (the worker does when one is due): the
    // host hears the list, or an instance without a phone chooses one.
    void reportPhones();
    // Drops this instance's phone: forgets the session, frees its
    // transports and marks the phone idle (without notifications).
    void releasePhone();

    // Worker observation for tests and tools: how many phone-list reports
    // ran, and when the last one ran (ProcessClock seconds).
    int reportCount() const { return reportCount_.load(); }
    double lastReportTime() const { return lastReportTime_.load(); }
    VideoFormat currentFormat() const;
    int chosenFormat() const { return chosenFormat_.load(); }

    // Session hooks.
    void onPhoneListChanged() override;
    void onPhoneStateChanged(const PhoneId& id, PhoneState state) override;
    void onSessionEnded() override;
    void onCapabilities(PhoneTransport& transport, const std::uint8_t* message, std::uint32_t length) override;
    void onNameList(const std::uint8_t* message, std::uint32_t length) override;
    void onButtonState(std::int32_t code, std::int32_t value) override;
    void onReport19(const std::uint8_t* message, std::uint32_t length) override;
    void onReport20(const std::uint8_t* message, std::uint32_t length) override;
    void onReport21(const std::uint8_t* message, std::uint32_t length) override;
    void onReport22(const std::uint8_t* message, std::uint32_t length) override;
    void onFocusDistanceState(const std::uint8_t* message, std::uint32_t length) override;
    void onVideo(const std::uint8_t* payload, std::uint32_t length, std::uint32_t tagBits) override;
    void onAudio(const std::int16_t* samples, std::uint32_t byteCount) override;
    std::uint64_t passcodeHash(const PhoneId& id) override;

    // Driver controls.
    void forwardControlValue(std::int32_t value) override;
    void forwardControlFlag(std::uint8_t flag) override;

    // Publishing.
    void sendToPhone(const void* message, std::size_t length) override;
    void reportFrameSize(std::int32_t width, std::int32_t height) override;
    bool feedsPreview() const override { return active_.load(); }

private:
    void workerLoop();
    void handleCommand(const EngineCommand& command, ReportTimer& timer);
    void selectPhone(const PhoneId& id);
    void autoSelect();
    void pollUsage();
    void pollAddressChange();
    void followFormat();
    VideoFormat computeWantedFormat();
    void sendFormatRequest(const VideoFormat& format);
    void sendCameraUsage(std::int32_t usage);
    void setCurrentPhoneId(const PhoneId& id);
    // Stream start: destroys the previous decoder, empties the frame pair
    // and creates the stream's decoder (H.264 when HEVC cannot be had).
    void replaceDecoder(bool hevc);
    void destroyDecoder();
    // The stream is over: the decoder stops first (its thread joined, so
    // that no picture is published after this), then the camera leaves its
    // streaming state and its slots are cleared for the idle picture.
    void endStream();
    bool takeCommand(EngineCommand& out);

    const int instanceCount_;
    HostCallbacks host_;
    std::unique_ptr<CameraOutput> output_;
    // The decoded pictures and the path that publishes them outlive every
    // decoder. The decoder is replaced on the receive thread and destroyed
    // by close(); its lock guards the pointer (never held while a decoder
    // is destroyed), and the codec word is readable without it.
    FramePair framePair_;
    std::unique_ptr<FramePublisher> publisher_;  // made by open(), with the output
    std::mutex decoderLock_;
    std::unique_ptr<VideoDecoder> decoder_;
    std::atomic<std::uint32_t> formatCodec_{0};  // FormatRequest codec word; 0 = no decoder
    CurrentTransport transport_;
    std::unique_ptr<EngineContext> context_;  // instance 0 only
    std::atomic<int> chosenFormat_{0};
    mutable std::mutex formatLock_;   // guards offered_ and current_
    std::vector<VideoFormat> offered_;
    VideoFormat current_{};
    std::atomic<bool> active_{false};
    std::atomic<std::int32_t> lastUsage_{0};  // worker and stream start
    platform::Thread worker_;
    std::atomic<bool> running_{false};
    std::mutex commandLock_;
    std::deque<EngineCommand> commands_;
    mutable std::mutex phoneIdLock_;
    PhoneId currentPhone_{};
    std::atomic<int> reportCount_{0};
    std::atomic<double> lastReportTime_{0.0};
};

}  // namespace tavin
