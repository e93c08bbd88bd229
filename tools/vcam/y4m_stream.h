// One YUV4MPEG2 stream of I420 pictures on a file descriptor.
//
// The stream's picture size and rate are fixed by the first picture written.
// A later picture of another size is scaled to that size, so that the output
// stays one valid stream that any reader can play from start to end.
#pragma once

#include <cstdint>
#include <memory>

#include "picture_converter.h"

namespace tavin::vcam {

class Y4mStream {
public:
    // Takes ownership of `fd` when `ownsFd` (standard output is not owned).
    Y4mStream(int fd, bool ownsFd) : fd_(fd), ownsFd_(ownsFd) {}
    ~Y4mStream();
    Y4mStream(const Y4mStream&) = delete;
    Y4mStream& operator=(const Y4mStream&) = delete;

    enum class Result { Written, ConvertFailed, WriteFailed };
    // Appends one picture; the first one also writes the stream header with
    // `fps` as the rate. After a write failure the stream stays broken and
    // every call returns WriteFailed.
    Result write(const std::uint8_t* source, const PictureLayout& layout, float fps);

    int width() const { return width_; }
    int height() const { return height_; }

private:
    bool writeAll(const void* data, std::size_t length);

    int fd_;
    bool ownsFd_;
    bool broken_ = false;
    int width_ = 0, height_ = 0;
    std::size_t frameBytes_ = 0;
    std::unique_ptr<std::uint8_t[]> frame_;  // "FRAME\n" then Y, U, V
    PictureConverter converter_;
};

}  // namespace tavin::vcam
