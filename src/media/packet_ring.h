// The compressed packets waiting for the decoding thread: a byte ring of
// 7,000,000 bytes and a first-in first-out queue of {length, tag} entries.
// A packet's bytes may wrap around the end of the ring; taking it copies
// them back together. An emptied ring starts again at its beginning. The ring takes no lock of its own: its owner (the
// video decoder) guards it.
#pragma once

#include <cstdint>
#include <memory>

namespace tavin {

class PacketRing {
public:
    // Bytes the ring holds: the largest packet accepted.
    static constexpr std::uint32_t kCapacity = 7'000'000;
    // Entries the queue holds. A stream of tiny packets (or empty ones)
    // fills the queue before the bytes; further packets are refused.
    static constexpr std::uint32_t kMaxEntries = 16'384;

    struct Entry {
        std::uint32_t length = 0;
        std::uint32_t tagBits = 0;  // the phone's f32 tag, as received
    };

    enum class PushResult {
        Queued,
        NoRoom,     // the packet is larger than the free room
        QueueFull,  // kMaxEntries packets wait already
    };

    // Allocates the ring; valid() tells whether that worked.
    PacketRing();
    bool valid() const { return bytes_ != nullptr; }

    std::uint32_t freeRoom() const { return kCapacity - used_; }
    std::uint32_t used() const { return used_; }
    bool empty() const { return count_ == 0; }

    // Appends a packet of `length` bytes (nothing is copied for length 0).
    PushResult push(std::uint32_t tagBits, const std::uint8_t* data, std::uint32_t length);

    // Takes the oldest entry and copies its bytes, joined, to `out`, which
    // has room for kCapacity bytes. False when the queue is empty.
    bool pop(Entry& entry, std::uint8_t* out);

private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::unique_ptr<Entry[]> entries_;
    std::uint32_t read_ = 0;   // byte positions
    std::uint32_t write_ = 0;
    std::uint32_t used_ = 0;
    std::uint32_t first_ = 0;  // queue positions
    std::uint32_t count_ = 0;
};

}  // namespace tavin
