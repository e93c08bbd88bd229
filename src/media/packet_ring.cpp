#include "media/packet_ring.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tavin {

PacketRing::PacketRing()
    : bytes_(new (std::nothrow) std::uint8_t[kCapacity]), entries_(new (std::nothrow) Entry[kMaxEntries]) {
    if (!entries_) bytes_.reset();
}

PacketRing::PushResult PacketRing::push(std::uint32_t tagBits, const std::uint8_t* data, std::uint32_t length) {
    if (length > freeRoom() || !valid()) return PushResult::NoRoom;
    if (count_ == kMaxEntries) return PushResult::QueueFull;
    const std::uint32_t first = std::min(length, kCapacity - write_);
    if (first > 0) std::memcpy(bytes_.get() + write_, data, first);
    if (length > first) std::memcpy(bytes_.get(), data + first, length - first);
    write_ = (write_ + length) % kCapacity;
    used_ += length;
    entries_[(first_ + count_) % kMaxEntries] = Entry{length, tagBits};
    ++count_;
    return PushResult::Queued;
}

bool PacketRing::pop(Entry& entry, std::uint8_t* out) {
    if (count_ == 0) return false;
    entry = entries_[first_];
    first_ = (first_ + 1) % kMaxEntries;
    --count_;
    // The accounting keeps length <= used; the bound keeps a fault there
    // from reading bytes that were never written.
    const std::uint32_t length = std::min(entry.length, used_);
    const std::uint32_t first = std::min(length, kCapacity - read_);
    if (first > 0) std::memcpy(out, bytes_.get() + read_, first);
    if (length > first) std::memcpy(out + first, bytes_.get(), length - first);
    read_ = (read_ + length) % kCapacity;
    used_ -= length;
    entry.length = length;
    // An emptied ring starts again at its beginning: the next packet lands
    // in memory just used, still in the caches, and a stream the decoder
    // keeps up with only ever touches the pages of its largest packets, not,
    // by going round, all 7 MB of the ring.
    if (count_ == 0 && used_ == 0) read_ = write_ = 0;
    return true;
}

}  // namespace tavin
