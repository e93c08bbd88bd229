#include "virtual_audio.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "output/driver_layout.h"
#include "platform/byte_order.h"
#include "platform/clock.h"

namespace tavin::vcam {
namespace {

constexpr double kBytesPerSecond = 48'000.0 * 2.0;

// Whole samples of a level in bytes.
std::uint32_t wholeSamples(double bytes) { return static_cast<std::uint32_t>(bytes) & ~1u; }

}  // namespace

VirtualAudio::VirtualAudio(int index, const VcamOptions& options, driverside::Console& console,
                           std::vector<std::unique_ptr<SampleFile>> files)
    : index_(index),
      options_(options),
      console_(console),
      drainBytesPerSecond_(kBytesPerSecond * (1.0 + options.audioSkew)),
      files_(std::move(files)) {}

std::uint32_t VirtualAudio::play(const std::uint8_t* input, std::uint32_t length) {
    std::lock_guard<std::mutex> guard(lock_);
    const double now = platform::processClock();
    level_ = levelAt(now);
    if (writes_ > 0 && level_ < 2.0) ++underruns_;
    lastWrite_ = now;
    // Samples beyond the free room (a part of one counts whole) are lost to
    // playback; the files still get them.
    const double capacityBytes = options_.audioBufferBytes;
    level_ += length;
    if (level_ > capacityBytes) {
        overflow_ += static_cast<std::uint64_t>(std::ceil((level_ - capacityBytes) / 2.0));
        level_ = capacityBytes;
    }
    ++writes_;
    bytes_ += length;
    recordSamples(input, length);
    const std::uint32_t level = wholeSamples(level_);
    if (level > high_) high_ = level;
    return level;
}

double VirtualAudio::levelAt(double now) const {
    if (writes_ == 0) return 0.0;
    const double level = level_ - (now - lastWrite_) * drainBytesPerSecond_;
    return level > 0.0 ? level : 0.0;
}

void VirtualAudio::recordSamples(const std::uint8_t* input, std::uint32_t length) {
    for (std::uint32_t i = 0; i + 1 < length; i += 2) {
        const int sample = static_cast<std::int16_t>(readLe16(input + i));
        const int magnitude = std::abs(sample);
        if (magnitude > peak_) peak_ = magnitude;
    }
    for (auto& file : files_) {
        if (!file || file->append(input, length)) continue;
        console_.line("audio %d sample file failed (%s); recording stops", index_, file->failure().c_str());
        file.reset();
    }
}

std::string VirtualAudio::statsText() {
    std::lock_guard<std::mutex> guard(lock_);
    char text[256];
    std::snprintf(text, sizeof text, "writes %llu bytes %llu level %u high %u overflow %llu underruns %llu peak %d",
                  static_cast<unsigned long long>(writes_), static_cast<unsigned long long>(bytes_),
                  wholeSamples(levelAt(platform::processClock())), high_,
                  static_cast<unsigned long long>(overflow_), static_cast<unsigned long long>(underruns_), peak_);
    peak_ = 0;
    high_ = 0;
    return text;
}

}  // namespace tavin::vcam
