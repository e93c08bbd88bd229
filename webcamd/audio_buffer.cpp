#include "audio_buffer.h"

#include <algorithm>
#include <cstring>

namespace tavin::webcamd {

std::size_t AudioBuffer::push(const std::uint8_t* bytes, std::size_t length) {
    length &= ~static_cast<std::size_t>(1);
    std::lock_guard<std::mutex> guard(lock_);
    const std::size_t room = kCapacity - held_;
    const std::size_t taken = std::min(length, room);
    dropped_ += length - taken;
    std::size_t write = (read_ + held_) % kCapacity;
    std::size_t done = 0;
    while (done < taken) {
        const std::size_t n = std::min(taken - done, kCapacity - write);
        std::memcpy(ring_.get() + write, bytes + done, n);
        done += n;
        write = (write + n) % kCapacity;
    }
    held_ += taken;
    return held_;
}

std::size_t AudioBuffer::pull(std::uint8_t* out, std::size_t length) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!playing_ && held_ >= kStartLevel) playing_ = true;
    std::size_t copied = 0;
    if (playing_) {
        const std::size_t wanted = std::min(length, held_);
        while (copied < wanted) {
            const std::size_t n = std::min(wanted - copied, kCapacity - read_);
            std::memcpy(out + copied, ring_.get() + read_, n);
            copied += n;
            read_ = (read_ + n) % kCapacity;
        }
        held_ -= copied;
        if (copied < length) {
            ++underruns_;
            playing_ = false;
        }
    }
    std::memset(out + copied, 0, length - copied);
    return copied;
}

void AudioBuffer::clear() {
    std::lock_guard<std::mutex> guard(lock_);
    read_ = 0;
    held_ = 0;
    playing_ = false;
}

std::size_t AudioBuffer::level() const {
    std::lock_guard<std::mutex> guard(lock_);
    return held_;
}

std::uint64_t AudioBuffer::droppedBytes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return dropped_;
}

std::uint64_t AudioBuffer::underruns() const {
    std::lock_guard<std::mutex> guard(lock_);
    return underruns_;
}

}  // namespace tavin::webcamd
