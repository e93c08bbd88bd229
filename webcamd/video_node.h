// One camera index as a PipeWire Video/Source node ("Tavin Webcam", ...).
//
// The node exists while the engine holds the camera's region and PipeWire
// is connected. It offers the formats of format_offer.h; the format a
// consumer negotiates becomes the region's requested format, so that the
// engine writes (and asks the phone for) that size, rate and kind, and a
// consumer that reads the node sets the region's consumer state. The node
// drives its graph: each picture taken from a slot is copied (rows top-down)
// into a free buffer of the stream, stamped (stamp_clock.h) and queued, and
// the graph is triggered. With no free buffer (consumers that fell behind or
// went away) the picture is dropped; nothing the engine does ever waits for
// a consumer.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <pipewire/pipewire.h>

#include "driver/console.h"
#include "driver/virtual_camera.h"
#include "format_offer.h"
#include "pipewire_connection.h"
#include "stamp_clock.h"

namespace tavin::webcamd {

class VideoNode : public driverside::CameraListener {
public:
    VideoNode(int index, PipewireConnection& pipewire, driverside::Console& console);
    ~VideoNode() override;  // dropStream()
    VideoNode(const VideoNode&) = delete;
    VideoNode& operator=(const VideoNode&) = delete;

    // The camera whose consumer side the node sets; before any stream exists.
    void bind(driverside::VirtualCamera& camera) { camera_ = &camera; }

    // CameraListener, on the region poller (the owner's thread).
    void take(const driverside::TakenPicture& picture) override;
    void process() override;
    void attachedChanged(bool attached) override { wanted_ = attached; }
    void formatListChanged(const driverside::DriverFormatList& list) override;

    // Owner's thread: makes the stream when the engine holds the region and
    // PipeWire is connected, destroys it otherwise.
    void maintain();
    // Owner's thread: destroys the stream and clears the consumer side.
    void dropStream();

    // "reading yes|no format ... pictures P dropped D" for the log.
    std::string statsText() const;

private:
    bool makeStream();
    // Replaces the stream's EnumFormat params with `offers`.
    void offer(const std::vector<OfferedSize>& offers);
    std::vector<const spa_pod*> buildOffer(const std::vector<OfferedSize>& offers);
    void formatChanged(const spa_pod* param);
    static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param);
    static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error);

    const int index_;
    PipewireConnection& pipewire_;
    driverside::Console& console_;
    driverside::VirtualCamera* camera_ = nullptr;
    bool wanted_ = false;  // owner's thread
    std::vector<OfferedSize> offers_;  // guarded by the loop lock once a stream exists
    std::unique_ptr<std::uint8_t[]> podBuffer_;

    pw_stream* stream_ = nullptr;  // changed on the owner's thread under the loop lock
    spa_hook streamListener_{};
    std::atomic<bool> reading_{false};

    // The negotiated layout, written on the loop thread, read by take().
    mutable std::mutex formatLock_;
    driverside::PictureLayout layout_;  // width 0: none negotiated

    // Owner's thread.
    pw_buffer* pending_ = nullptr;  // filled by take(), queued by process()
    StampClock stamps_;
    std::uint64_t sequence_ = 0;
    std::atomic<std::uint64_t> pictures_{0};
    std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace tavin::webcamd
