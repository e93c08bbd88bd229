// The sound waiting between the engine's audio writes and the PipeWire
// graph that plays it: a fixed ring of 16-bit mono samples (one second at
// 48 kHz) with a start level.
//
// Writes arrive in 20 ms packets from the network; the graph takes a
// quantum each cycle of its own clock. Playing starts once 40 ms are held,
// so that the jitter of the packets does not starve the graph, and starts
// anew (silence until the start level is held again) after the ring ran dry.
// Samples that find the ring full are dropped and counted; the engine's
// backlog control keeps that from happening while the fill level it reads
// is the real one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace tavin::webcamd {

class AudioBuffer {
public:
    static constexpr std::size_t kCapacity = 96'000;   // bytes: one second of 48 kHz mono 16-bit
    static constexpr std::size_t kStartLevel = 3'840;  // bytes: 40 ms

    AudioBuffer() : ring_(std::make_unique<std::uint8_t[]>(kCapacity)) {}

    // Appends whole samples (an odd trailing byte is dropped). Returns the
    // bytes held after the append.
    std::size_t push(const std::uint8_t* bytes, std::size_t length);
    // Fills `length` bytes at `out`: held samples while playing, silence
    // while gathering the start level or after the ring ran dry. Returns
    // the bytes of real samples written.
    std::size_t pull(std::uint8_t* out, std::size_t length);
    // Forgets every held sample and gathers the start level again.
    void clear();

    std::size_t level() const;
    std::uint64_t droppedBytes() const;  // that found the ring full
    std::uint64_t underruns() const;     // pulls that found the ring dry while playing

private:
    mutable std::mutex lock_;
    std::unique_ptr<std::uint8_t[]> ring_;
    std::size_t read_ = 0;
    std::size_t held_ = 0;
    bool playing_ = false;
    std::uint64_t dropped_ = 0;
    std::uint64_t underruns_ = 0;
};

}  // namespace tavin::webcamd
