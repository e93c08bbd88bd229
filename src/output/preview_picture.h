// The picture the host's preview shows: one per process, written by the
// publishing path of the active instance and taken by the preview.
//
// Hand-over without a lock, through the ready flag: the writer fills the
// picture only while the flag is clear and sets it last; the reader copies
// only while it is set and clears it last.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace tavin {

class PreviewPicture {
public:
    // The largest picture: B, G, R, A bytes per pixel, rows top-down,
    // stride 4 x width. A writer scales anything larger down to fit.
    static constexpr int kMaxWidth = 3840;
    static constexpr int kMaxHeight = 2160;
    static constexpr std::size_t kBytes = std::size_t{kMaxWidth} * kMaxHeight * 4;

    // The process's picture. It lives as long as the library (see
    // engine/engine_context.h); its pixels are allocated on the first write.
    static PreviewPicture& process();

    // Writer side. Room for the next picture (kBytes), or null while the
    // last one has not been taken or when the memory cannot be had.
    std::uint8_t* beginWrite();
    // Stores the size of the picture just written, then sets the ready flag.
    // Sizes outside 1..kMaxWidth x 1..kMaxHeight are refused (the flag stays
    // clear).
    void finishWrite(int width, int height);

    // Reader side. While ready() the pixels and size are stable.
    bool ready() const { return ready_.load(std::memory_order_acquire) != 0; }
    int width() const { return width_.load(std::memory_order_relaxed); }
    int height() const { return height_.load(std::memory_order_relaxed); }
    const std::uint8_t* pixels() const { return pixels_.get(); }
    // The reader took the picture: the next one may be written.
    void take() { ready_.store(0, std::memory_order_release); }

private:
    std::once_flag allocated_;
    std::unique_ptr<std::uint8_t[]> pixels_;
    std::atomic<int> width_{0};
    std::atomic<int> height_{0};
    std::atomic<std::uint8_t> ready_{0};
};

}  // namespace tavin
