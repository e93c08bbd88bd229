#include "output/audio_writer.h"

#include "output/driver_layout.h"
#include "output/driver_replies.h"
#include "platform/byte_order.h"
#include "platform/device_channel.h"

namespace tavin {

namespace {

// The drop rate rises by one sample per nominal 20 ms packet for every
// 400 bytes (about 4 ms) by which the smallest depth exceeds half of the
// spread between smallest and largest.
constexpr std::uint32_t kMinStart = 1'000'000;
constexpr std::uint32_t kBytesPerDroppedSample = 400;
constexpr std::uint32_t kNominalPacketSamples = 960;
constexpr std::uint32_t kBytesPerSample = 2;

}  // namespace

std::uint32_t audioDropInterval(const AudioDepthHistory& history) {
    std::uint32_t max = 0;
    std::uint32_t min = kMinStart;
    for (std::uint32_t depth : history) {
        if (depth > max) max = depth;
        if (depth < min) min = depth;
    }
    // min never exceeds max (both bound every entry), and 2 x min stays
    // within 32 bits.
    if (min <= max - min) return 0;
    const std::uint32_t q = ((2 * min - max) / 2) / kBytesPerDroppedSample;
    return q > 0 ? kNominalPacketSamples / q : 0;
}

void AudioWriter::reset() {
    history_.fill(0);
    counter_ = 0;
    dropped_.store(0, std::memory_order_relaxed);
}

void AudioWriter::write(platform::DeviceHandle* device, const std::int16_t* samples, std::uint32_t byteCount) {
    const std::uint32_t count = byteCount / kBytesPerSample;
    if (!device || !samples || count == 0) return;
    const std::uint32_t interval = audioDropInterval(history_);
    std::uint32_t filled = 0;
    std::uint32_t dropped = 0;
    for (std::uint32_t j = 0; j < count; ++j) {
        if (audioSampleDropped(j, interval)) {
            ++dropped;
            continue;
        }
        writeLe16(buffer_.data() + kBytesPerSample * filled, static_cast<std::uint16_t>(samples[j]));
        if (++filled == kAudioWriteSamples) {
            send(*device, filled);
            filled = 0;
        }
    }
    if (filled > 0) send(*device, filled);
    if (dropped > 0) dropped_.fetch_add(dropped, std::memory_order_relaxed);
}

void AudioWriter::send(platform::DeviceHandle& device, std::uint32_t count) {
    const std::uint32_t bytes = count * kBytesPerSample;
    std::uint8_t reply[driver::kAudioWriteReply] = {};
    std::uint32_t returned = 0;
    if (!device.request(driver::kAudioWrite, buffer_.data(), bytes, reply, sizeof reply, &returned)) return;
    // A reply without the level word reads as level 0.
    const std::uint32_t level = driver::readAudioLevel(reply, returned);
    history_[counter_ % kAudioDepthHistory] = level > bytes ? level - bytes : 0;
    ++counter_;
}

}  // namespace tavin
