#include "session/frame_reader.h"

namespace tavin {

FrameReader::FrameReader() : buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(protocol::kMaxMessage)) {}

std::uint32_t FrameReader::room() const {
    const std::uint32_t need = wanted();
    return need > have_ && need <= protocol::kMaxMessage ? need - have_ : 0;
}

bool FrameReader::add(std::uint32_t count) {
    have_ += count <= room() ? count : room();
    return protocol::messageComplete(buffer_.get(), have_);
}

void FrameReader::next() {
    previousLength_ = length();
    previousType_ = type();
    have_ = 0;
}

}  // namespace tavin
