// The simulator's sound: a tone (440 Hz unless asked otherwise), 48,000
// samples per second, one channel, cut into 20 ms frames and compressed with
// libopus.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct OpusEncoder;

namespace tavin::phonesim {

class ToneEncoder {
public:
    static constexpr int kSampleRate = 48000;
    static constexpr int kFrameSamples = 960;  // 20 ms
    static constexpr double kFrameSeconds = 0.020;
    static constexpr std::size_t kMaxPacket = 1500;
    static constexpr double kDefaultHz = 440.0;

    explicit ToneEncoder(double frequencyHz = kDefaultHz) : frequencyHz_(frequencyHz) {}
    ~ToneEncoder();
    ToneEncoder(const ToneEncoder&) = delete;
    ToneEncoder& operator=(const ToneEncoder&) = delete;

    bool open();
    bool isOpen() const { return encoder_ != nullptr; }

    // Encodes the next 20 ms into `out` (kMaxPacket bytes). Returns the
    // packet length, or 0 on an encoder error.
    std::size_t encodeNext(std::uint8_t* out);

private:
    OpusEncoder* encoder_ = nullptr;
    const double frequencyHz_;
    std::array<std::int16_t, kFrameSamples> samples_{};
    double phase_ = 0.0;
};

}  // namespace tavin::phonesim
