#include "tone_encoder.h"

#include <opus.h>

#include <cmath>
#include <numbers>

namespace tavin::phonesim {

namespace {
constexpr double kAmplitude = 8000.0;
}  // namespace

ToneEncoder::~ToneEncoder() {
    if (encoder_ != nullptr) opus_encoder_destroy(encoder_);
}

bool ToneEncoder::open() {
    if (encoder_ != nullptr) return true;
    int error = 0;
    encoder_ = opus_encoder_create(kSampleRate, 1, OPUS_APPLICATION_AUDIO, &error);
    if (error != OPUS_OK) {
        if (encoder_ != nullptr) opus_encoder_destroy(encoder_);
        encoder_ = nullptr;
    }
    return encoder_ != nullptr;
}

std::size_t ToneEncoder::encodeNext(std::uint8_t* out) {
    if (encoder_ == nullptr) return 0;
    const double step = 2.0 * std::numbers::pi * frequencyHz_ / kSampleRate;
    for (auto& sample : samples_) {
        sample = static_cast<std::int16_t>(std::lround(kAmplitude * std::sin(phase_)));
        phase_ += step;
    }
    phase_ = std::fmod(phase_, 2.0 * std::numbers::pi);
    opus_int32 n = opus_encode(encoder_, samples_.data(), kFrameSamples, out, static_cast<opus_int32>(kMaxPacket));
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

}  // namespace tavin::phonesim
