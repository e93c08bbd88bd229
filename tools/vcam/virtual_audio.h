// The playback behind one camera index's virtual audio device: a simulated
// playback buffer that drains at 48,000 samples per second of real time
// (mono, 16-bit; a skew makes its clock run fast or slow), whose fill level
// each write reports back. Samples that do not fit the buffer count as
// overflow; every sample also goes to the recording files.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/audio_device.h"
#include "driver/console.h"
#include "options.h"
#include "sample_file.h"

namespace tavin::vcam {

class VirtualAudio : public driverside::AudioPlayback {
public:
    // `files` receive every sample written (also those that overflow).
    VirtualAudio(int index, const VcamOptions& options, driverside::Console& console,
                 std::vector<std::unique_ptr<SampleFile>> files);
    VirtualAudio(const VirtualAudio&) = delete;
    VirtualAudio& operator=(const VirtualAudio&) = delete;

    // Called on the device's server thread.
    std::uint32_t play(const std::uint8_t* samples, std::uint32_t length) override;

    // "writes N bytes N level N high N overflow N underruns N peak N": the
    // level now, the highest level answered and the largest sample
    // magnitude since the previous call; overflow in samples; underruns are
    // writes that found the buffer drained.
    std::string statsText();

private:
    // The level of the buffer at `now`, after draining since the last write.
    double levelAt(double now) const;
    void recordSamples(const std::uint8_t* input, std::uint32_t length);

    const int index_;
    const VcamOptions& options_;
    driverside::Console& console_;
    const double drainBytesPerSecond_;
    std::mutex lock_;
    std::vector<std::unique_ptr<SampleFile>> files_;
    double level_ = 0.0;  // bytes in the simulated buffer at lastWrite_
    double lastWrite_ = 0.0;
    std::uint64_t writes_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint64_t overflow_ = 0;  // samples that did not fit the buffer
    std::uint64_t underruns_ = 0;
    std::uint32_t high_ = 0;
    int peak_ = 0;
};

}  // namespace tavin::vcam
