// One camera index's sound as a PipeWire Audio/Source node ("Tavin Webcam
// Audio", ...): signed 16-bit, one channel, 48 kHz.
//
// The node exists while the engine holds the audio device (from its attach
// to its detach request) and PipeWire is connected. While a consumer reads
// the node, the samples of every audio write wait in the AudioBuffer for the
// graph, and the write's reply carries the real backlog: what the buffer
// holds plus what the stream has queued and the graph not yet taken. While
// nobody reads, samples are dropped and the reply carries the bytes just
// written (no backlog), so the engine's backlog control stays at rest and a
// consumer that connects later does not hear old sound.
//
// The node is a driver: while it leads its graph, a timer on the loop thread
// starts one cycle per quantum, on the system's monotonic clock. When a
// device with a clock of its own joins the graph (a sound card playing the
// sound), that device leads and the node follows it. Without this the
// graph would fall to whichever driver PipeWire picks for graphs without
// one, which may be a camera's video node that cycles once per picture.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include <pipewire/pipewire.h>

#include "audio_buffer.h"
#include "driver/audio_device.h"
#include "driver/console.h"
#include "pipewire_connection.h"

namespace tavin::webcamd {

class AudioNode : public driverside::AudioPlayback {
public:
    AudioNode(int index, PipewireConnection& pipewire, driverside::Console& console);
    ~AudioNode() override;  // dropStream()
    AudioNode(const AudioNode&) = delete;
    AudioNode& operator=(const AudioNode&) = delete;

    // The audio device's server thread.
    std::uint32_t play(const std::uint8_t* samples, std::uint32_t length) override;
    void attachedChanged(bool attached) override { wanted_.store(attached); }

    // Owner's thread: makes the stream when the engine holds the device and
    // PipeWire is connected, destroys it otherwise.
    void maintain();
    // Owner's thread: destroys the stream (PipeWire went away, or shut-down).
    void dropStream();

    // "reading yes|no level L dropped D underruns U" for the log.
    std::string statsText() const;

private:
    bool makeStream();
    void destroyStream();
    static void onProcess(void* data);
    static void onTimer(void* data, std::uint64_t expirations);
    // Loop thread: arms the cycle timer for the next quantum, or disarms it.
    void armTimer(bool on);
    static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error);

    const int index_;
    PipewireConnection& pipewire_;
    driverside::Console& console_;
    AudioBuffer buffer_;
    std::atomic<bool> wanted_{false};   // the engine holds the device
    std::atomic<bool> reading_{false};  // a consumer reads the node
    // Guards stream_ against the server thread's backlog reading; only the
    // owner's thread changes it.
    mutable std::mutex streamLock_;
    pw_stream* stream_ = nullptr;
    spa_hook streamListener_{};
    spa_source* timer_ = nullptr;  // loop thread, with the stream
    std::uint64_t nextCycleNs_ = 0;
    std::atomic<std::uint32_t> cycleFrames_;  // the quantum of the last cycle
};

}  // namespace tavin::webcamd
