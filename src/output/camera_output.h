// The engine's end of one camera index's drivers: the virtual camera (a
// shared region of frame slots, or device requests) and the virtual audio
// device. One per opened engine instance.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "output/audio_writer.h"
#include "output/driver_control_sink.h"
#include "output/driver_layout.h"
#include "output/idle_picture.h"
#include "platform/device_channel.h"
#include "platform/named_objects.h"
#include "platform/thread.h"

namespace tavin {

// The picture format the camera's consumer asked for. The sign of the height
// carries the row order of kinds 0 and 3.
struct OutputFormat {
    std::int32_t width = 640;
    std::int32_t height = 360;
    float fps = 30.0f;
    std::int32_t kind = driver::kI420;
    bool operator==(const OutputFormat&) const = default;
};

// One entry of the format list offered to the driver.
struct DriverFormatEntry {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t fpsMilli = 0;  // frames per second x 1000, truncated
    std::uint32_t flag = 0;
};

// True when a requested format can be held by a frame slot: width above 0,
// height not 0, kind 0..3, a finite rate, and the picture within the pixel
// area. Requests that fail this are never applied.
bool formatFitsSlot(std::int32_t width, std::int32_t height, float fps, std::int32_t kind);

class CameraOutput {
public:
    // Results of open().
    static constexpr int kOk = 0;
    static constexpr int kAudioOpenFailed = -1;
    static constexpr int kAudioQueryFailed = -2;
    static constexpr int kCameraOpenFailed = -3;
    static constexpr int kCameraQueryFailed = -4;
    static constexpr int kRefused = -5;
    static constexpr int kCameraTooOld = -6;

    CameraOutput(int cameraIndex, DriverControlSink& controls);
    ~CameraOutput();  // close()
    CameraOutput(const CameraOutput&) = delete;
    CameraOutput& operator=(const CameraOutput&) = delete;

    // Attaches to the drivers and starts the output thread. Returns one of
    // the results above; what a failed open created is released by close().
    // Camera index 0 first fills the process-wide device table. An output
    // thread the system refuses gives kRefused. Opening an output that is
    // open closes it first.
    int open();
    // Releases everything; safe to call more than once.
    void close();

    // Empties both slots of the transport in use (black pixels, trailers 0),
    // now. Only for the slots' writer of the moment (see setStreaming).
    void clearSlots();
    // Stores the format under the named mutex (waiting at most 1000 ms; on a
    // time-out nothing changes and "s" 793 is recorded).
    void setOutputFormat(std::int32_t width, std::int32_t height, float fps, std::int32_t kind);
    // Hands one finished picture of `count` bytes to the driver, then follows
    // the format the driver asks for. A count below 0 or beyond a slot's
    // pixel area, or no bytes, drops the picture.
    void writeFrame(const std::uint8_t* bytes, std::int32_t count);
    // A consumer reads the camera now.
    bool isConsumerActive();
    // Writes one decoded audio packet of byteCount / 2 samples to the audio
    // device (AudioWriter). Only the session's receive thread calls it, and
    // only while the output is open: the instance stops its transports
    // before it closes the output.
    void writeAudio(const std::int16_t* samples, std::uint32_t byteCount);
    // Samples the audio backlog control dropped since the last open.
    std::uint64_t audioSamplesDropped() const { return audioWriter_.droppedSamples(); }

    OutputFormat outputFormat() const;

    // A phone streams to this instance (set by the instance). The frame
    // slots have one writer at a time: the output thread (its idle and blank
    // pictures) while no phone streams, the publishing path (decoded
    // pictures, which the output thread only forwards) while one does. Each
    // writes only inside a write section. Setting the state hands the slots
    // over: it waits for the section in progress to end (a bounded wait:
    // every section is), clears the slots, then lets the new writer in. The
    // picture path itself takes no lock.
    void setStreaming(bool on);
    bool streaming() const { return streaming_.load(); }

    // The publishing path's write section: while it is held and true, the
    // publishing path may choose, fill and publish slots and clear them;
    // false while the slots are not the stream's. A clear that a format
    // change left to the stream is done on entering.
    class StreamWrite {
    public:
        explicit StreamWrite(CameraOutput& output);
        ~StreamWrite();
        StreamWrite(const StreamWrite&) = delete;
        StreamWrite& operator=(const StreamWrite&) = delete;
        explicit operator bool() const { return entered_; }

    private:
        CameraOutput& output_;
        bool entered_;
    };
    // ESetBlank.
    void setBlank(std::uint8_t blank) { blank_.store(blank); }
    std::uint8_t blank() const { return blank_.load(); }

    // The shared region is in use.
    bool regionMapped() const { return region_ != nullptr; }
    // The region's format-list flag is set (the driver takes a list).
    bool driverTakesFormatList() const;
    // Rewrites the driver's format list under the mutex, waiting at most
    // 1000 ms. The region holds 31 entries; further ones are left out. False when the wait failed or there is
    // no region; the list is then left as it was.
    bool writeDriverFormatList(std::span<const DriverFormatEntry> entries);

    // Start of frame slot 0 or 1 (pixel area, then trailer) of the
    // transport in use: the region's slots, or the local ones on the device
    // transport. Null when there are none or the index is not 0 or 1.
    std::uint8_t* slot(int index) const;

    // The slot for a decoded picture. Shared region: a slot whose ready flag
    // is 0 (slot 0 first), else the one with the older time stamp. Device
    // transport: a local slot whose ready flag is 0, chosen under the named
    // mutex (at most 1000 ms; "s" 676 on a time-out); null when both still
    // wait to be sent. Null without slots.
    std::uint8_t* choosePublishSlot();
    // The publishing path filled `slot`: stores the byte count and the time
    // stamp, sets the ready flag last, then sets the event.
    void publishSlot(std::uint8_t* slot, std::int32_t bytes, float timeStamp);

    bool legacy() const { return legacy_; }
    int cameraIndex() const { return index_; }

private:
    // What one pass of the output thread does, by the instance's state.
    enum class StepBranch {
        Blank,         // blank flag set, no phone streaming
        PollRegion,    // a phone streams, the shared region is in use
        ForwardLocal,  // a phone streams on the device transport
        Idle,          // no phone streams: the idle picture
    };
    static StepBranch stepBranch(bool blank, bool streaming, bool region);

    void outputLoop();
    void outputStep();
    // The streaming pass on the shared region: follows the consumer's
    // requested format and forwards the control values.
    void pollRegion();
    // Applies a requested format when it differs from the current one (and
    // fits a slot): setOutputFormat, then clearSlots.
    void followRequest(std::int32_t width, std::int32_t height, float fps, std::int32_t kind);
    // The format and control values a device WriteReply of `returned` bytes
    // carries; bytes it did not return count as zero.
    void takeWriteReply(const std::uint8_t* reply, std::uint32_t returned);
    // A format change empties the slots: now when the output side may write
    // them, else the stream does it before its next picture.
    void clearForFormat();

    // Who may write the slots; HandOver while they change hands.
    enum class SlotWriter : std::uint8_t { Output, Stream, HandOver };
    // Enters a write section of `writer` (counted in `inside`); false, and
    // nothing entered, when the slots are not its own.
    bool enterWrite(SlotWriter writer, std::atomic<int>& inside);
    class OutputWrite;  // the output side's section
    void forwardControls(std::int32_t valueA, std::uint32_t flagB);
    bool startThread();

    // Holds the named mutex (at most 1000 ms). Without one (before open, or
    // when it could not be made) there is nobody to share it with and the
    // guard counts as held.
    class NamedLock;

    // The pictures the output thread makes or forwards itself. The idle
    // picture's surface and scaler follow the format when the next idle or
    // blank picture is made, on the output thread (the only one that draws).
    void loadIdlePicture();     // open: decode the idle animation
    void releaseIdlePicture();  // close: animation, surface, scaler
    // Blank flag set, no phone streaming: the green picture once, else the
    // camera's format from a device query.
    void blankPass();
    void followQueriedFormat();
    // A phone streams on the device transport: sends the older ready local
    // slot, waiting for one at most twice.
    void forwardLocalSlotPass();
    // Nobody streams: draws, sends and paces the idle picture.
    void idlePass();
    void sendOwnPicture(std::span<const std::uint8_t> picture);

    const int index_;
    DriverControlSink& controls_;
    std::unique_ptr<platform::NamedMutex> mutex_;
    std::unique_ptr<platform::NamedEvent> event_;
    std::unique_ptr<platform::SharedRegion> region_;
    std::unique_ptr<platform::DeviceHandle> camera_;
    std::unique_ptr<platform::DeviceHandle> audio_;
    std::unique_ptr<std::uint8_t[]> localSlots_;  // two slots, device transport only
    mutable std::mutex formatLock_;                // guards format_ within the process
    OutputFormat format_;
    platform::Thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> streaming_{false};
    std::atomic<SlotWriter> slotWriter_{SlotWriter::Output};
    std::atomic<int> outputWriting_{0};   // output-side write sections open
    std::atomic<int> streamWriting_{0};   // stream write sections open
    std::atomic<bool> clearDue_{false};   // the stream clears before its next picture
    std::mutex handOverLock_;             // one hand-over at a time; no writer takes it
    std::atomic<std::uint8_t> blank_{0};
    std::atomic<std::int32_t> blankState_{0};  // 0 none, 1 BGR blank sent, 2 YUY2 blank sent
    bool legacy_ = false;
    std::mutex controlLock_;  // guards the two last control values
    std::int32_t lastControlA_ = 0;
    bool lastControlB_ = false;
    std::uint32_t audioStatus_ = 0;
    AudioWriter audioWriter_;  // the receive thread's, between open and close
    IdlePicture idle_;  // made and used by the output thread; loaded and freed while it does not run
};

}  // namespace tavin
