#include "virtual_audio.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output/driver_layout.h"
#include "platform/byte_order.h"
#include "platform/clock.h"

namespace tavin::vcam {
namespace {

constexpr double kDrainBytesPerSecond = 48'000.0 * 2.0;

platform::DeviceServer::Reply failure(int error) {
    platform::DeviceServer::Reply reply;
    reply.status = static_cast<std::uint32_t>(error);
    return reply;
}

}  // namespace

VirtualAudio::VirtualAudio(int index, const VcamOptions& options, Console& console, int pcmFd, bool ownsFd)
    : index_(index), options_(options), console_(console), pcmFd_(pcmFd), ownsFd_(ownsFd) {}

VirtualAudio::~VirtualAudio() {
    if (ownsFd_ && pcmFd_ >= 0) ::close(pcmFd_);
}

platform::DeviceServer::Reply VirtualAudio::handleRequest(std::uint32_t code, const std::uint8_t* input,
                                                          std::uint32_t length, std::uint32_t capacity) {
    (void)capacity;  // the server cuts replies to the capacity
    platform::DeviceServer::Reply reply;
    switch (code) {
        case driver::kIoAttach:
            if (length < 8 || readLe32(input) != driver::kAudioInterface ||
                readLe32(input + 4) != static_cast<std::uint32_t>(index_))
                return failure(EINVAL);
            console_.line("audio %d attached", index_);
            return reply;
        case driver::kIoDetach:
            if (length != 0) return failure(EINVAL);
            console_.line("audio %d detached", index_);
            return reply;
        case driver::kIoQuery:
            if (length < 4 || readLe32(input) != 0) return failure(EINVAL);
            if (options_.audioQueryFails) return failure(EIO);
            reply.output.assign(4, 0);
            writeLe32(reply.output.data(), options_.audioStatus);
            return reply;
        case driver::kIoWriteBase: {
            if (length % 2 != 0) return failure(EINVAL);  // whole 16-bit samples only
            std::uint32_t level;
            {
                std::lock_guard<std::mutex> guard(lock_);
                const double now = platform::processClock();
                if (writes_ > 0) {
                    level_ -= (now - lastDrain_) * kDrainBytesPerSecond;
                    if (level_ < 0.0) level_ = 0.0;
                }
                lastDrain_ = now;
                level_ += length;
                const double capacityBytes = options_.audioBufferBytes;
                if (level_ > capacityBytes) {
                    overflow_ += static_cast<std::uint64_t>(level_ - capacityBytes);
                    level_ = capacityBytes;
                }
                ++writes_;
                bytes_ += length;
                recordSamples(input, length);
                level = static_cast<std::uint32_t>(level_) & ~1u;  // whole samples
            }
            reply.output.assign(driver::kAudioWriteReply, 0);
            writeLe32(reply.output.data() + 4, level);
            return reply;
        }
        default:
            return failure(ENOTTY);  // not a request of this device
    }
}

void VirtualAudio::recordSamples(const std::uint8_t* input, std::uint32_t length) {
    for (std::uint32_t i = 0; i + 1 < length; i += 2) {
        const int sample = static_cast<std::int16_t>(readLe16(input + i));
        const int magnitude = std::abs(sample);
        if (magnitude > peak_) peak_ = magnitude;
    }
    if (pcmFd_ < 0) return;
    std::uint32_t done = 0;
    while (done < length) {
        ssize_t n = ::write(pcmFd_, input + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            console_.line("audio %d sample file write failed (%s); recording stops", index_, std::strerror(errno));
            if (ownsFd_) ::close(pcmFd_);
            pcmFd_ = -1;
            return;
        }
        done += static_cast<std::uint32_t>(n);
    }
}

std::string VirtualAudio::statsText() {
    std::lock_guard<std::mutex> guard(lock_);
    double level = level_;
    if (writes_ > 0) {
        level -= (platform::processClock() - lastDrain_) * kDrainBytesPerSecond;
        if (level < 0.0) level = 0.0;
    }
    char text[192];
    std::snprintf(text, sizeof text, "writes %llu bytes %llu level %u overflow %llu peak %d",
                  static_cast<unsigned long long>(writes_), static_cast<unsigned long long>(bytes_),
                  static_cast<unsigned>(level) & ~1u, static_cast<unsigned long long>(overflow_), peak_);
    peak_ = 0;
    return text;
}

}  // namespace tavin::vcam
