// The engine's writes to the virtual audio device of one camera index: the
// samples of each decoded packet, one audio write request per packet, less
// single samples dropped while the device's backlog stays high, so that the
// phone's clock running faster than the device's does not let the sound
// fall further and further behind.
//
// Backlog control. Every write answers with the device's fill level; what
// was waiting before the write (the depth) goes into a history of the last
// 100 writes. While the smallest depth is above half the largest, the
// writer drops one sample in every dropInterval() of each packet; the
// higher the smallest depth, the more it drops.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tavin {

namespace platform {
class DeviceHandle;
}

inline constexpr std::size_t kAudioDepthHistory = 100;
// The fixed buffer of one write: 40 ms of 48 kHz mono sound. A packet with
// more kept samples goes out in several writes.
inline constexpr std::uint32_t kAudioWriteSamples = 1920;

using AudioDepthHistory = std::array<std::uint32_t, kAudioDepthHistory>;

// The spacing of dropped samples for these depths: sample j of a packet
// (j > 0) is dropped when j is a multiple of it. 0 keeps every sample.
std::uint32_t audioDropInterval(const AudioDepthHistory& history);

// Sample j of a packet is dropped at drop interval n.
constexpr bool audioSampleDropped(std::uint32_t j, std::uint32_t n) { return n > 0 && j > 0 && j % n == 0; }

class AudioWriter {
public:
    // Forgets every depth and the write count, as at the output's open.
    void reset();

    // Writes one decoded packet of byteCount / 2 samples to `device`
    // (nothing without one). Called on the session's receive thread only.
    // A write that fails loses its samples and records nothing.
    void write(platform::DeviceHandle* device, const std::int16_t* samples, std::uint32_t byteCount);

    // Samples dropped by the backlog control since the last reset (any
    // thread).
    std::uint64_t droppedSamples() const { return dropped_.load(std::memory_order_relaxed); }
    // The depths and the number of successful writes (the writing thread).
    const AudioDepthHistory& history() const { return history_; }
    std::uint32_t writeCount() const { return counter_; }

private:
    // Sends the first `count` samples of the buffer and records the depth.
    void send(platform::DeviceHandle& device, std::uint32_t count);

    AudioDepthHistory history_{};
    std::uint32_t counter_ = 0;
    std::array<std::uint8_t, kAudioWriteSamples * 2> buffer_{};
    std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace tavin
