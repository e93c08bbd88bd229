// One camera index's virtual audio device: answers the engine's attach,
// query, write and detach requests and hands the samples of every write to
// a playback, whose fill level the write reply carries back.
#pragma once

#include <cstdint>

#include "driver/console.h"
#include "platform/device_channel.h"

namespace tavin::driverside {

// Where the samples go: 16-bit little-endian, 48,000 a second, one channel.
class AudioPlayback {
public:
    virtual ~AudioPlayback() = default;
    // Plays `length` bytes of whole samples; returns the bytes waiting to be
    // played after them, these included. Called on the device's server thread.
    virtual std::uint32_t play(const std::uint8_t* samples, std::uint32_t length) = 0;
    // The engine attached the device (true) or detached it (false).
    virtual void attachedChanged(bool attached) { (void)attached; }
};

struct AudioSettings {
    std::uint32_t status = 1;  // in the query reply; 1 = ready
    bool queryFails = false;   // the query answers EIO
};

class AudioDevice {
public:
    AudioDevice(int index, const AudioSettings& settings, Console& console, AudioPlayback& playback)
        : index_(index), settings_(settings), console_(console), playback_(playback) {}
    AudioDevice(const AudioDevice&) = delete;
    AudioDevice& operator=(const AudioDevice&) = delete;

    // Called on the device's server thread. Attach must name interface 1
    // and this index, detach carries nothing, the query a 0 word, and a write
    // whole samples; anything else is refused with EINVAL, unknown codes with
    // ENOTTY.
    platform::DeviceServer::Reply handleRequest(std::uint32_t code, const std::uint8_t* input,
                                                std::uint32_t length, std::uint32_t capacity);

    int index() const { return index_; }

private:
    const int index_;
    const AudioSettings settings_;
    Console& console_;
    AudioPlayback& playback_;
};

}  // namespace tavin::driverside
