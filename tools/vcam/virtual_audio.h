// One camera index's virtual audio device: answers attach, query, write and
// detach requests, and plays the samples into a simulated playback buffer
// that drains at 48,000 samples per second (mono, 16-bit), whose fill level
// each write reports back.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "console.h"
#include "options.h"
#include "platform/device_channel.h"

namespace tavin::vcam {

class VirtualAudio {
public:
    // `pcmFd` (-1 for none) receives every accepted sample; owned when `ownsFd`.
    VirtualAudio(int index, const VcamOptions& options, Console& console, int pcmFd, bool ownsFd);
    ~VirtualAudio();
    VirtualAudio(const VirtualAudio&) = delete;
    VirtualAudio& operator=(const VirtualAudio&) = delete;

    // Called on the device's server thread.
    platform::DeviceServer::Reply handleRequest(std::uint32_t code, const std::uint8_t* input,
                                                std::uint32_t length, std::uint32_t capacity);

    // "writes N bytes N level N overflow N peak N"; the peak is the largest
    // sample magnitude since the previous call.
    std::string statsText();

private:
    void recordSamples(const std::uint8_t* input, std::uint32_t length);

    const int index_;
    const VcamOptions& options_;
    Console& console_;
    std::mutex lock_;
    int pcmFd_;
    bool ownsFd_;
    double level_ = 0.0;         // bytes in the simulated buffer at lastDrain_
    double lastDrain_ = 0.0;
    std::uint64_t writes_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint64_t overflow_ = 0;  // bytes that did not fit the buffer
    int peak_ = 0;
};

}  // namespace tavin::vcam
