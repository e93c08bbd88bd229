// What one camera does with the pictures it takes: counts them, checks their
// size against the format the consumer asked for, records them in a Y4M
// stream and saves PNG snapshots on request. Pictures arrive from the region
// poller or from a device server thread; every member is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "console.h"
#include "picture_converter.h"
#include "y4m_stream.h"

namespace tavin::vcam {

class PictureRecorder {
public:
    // `stream` may be null (nothing recorded).
    PictureRecorder(int camera, Console& console, std::unique_ptr<Y4mStream> stream);
    PictureRecorder(const PictureRecorder&) = delete;
    PictureRecorder& operator=(const PictureRecorder&) = delete;

    // Copies in one picture of `count` bytes that should be laid out as
    // `expected`. The caller has already bounded `count` to the pixel area.
    // A picture whose size is not that of `expected` is counted as
    // mismatched and not kept. The source may be reused when this returns.
    void take(const std::uint8_t* bytes, std::size_t count, const PictureLayout& expected, float fps);
    // Records the picture kept by the last take() (stream and snapshot).
    // Split from take() so that a frame slot is released before converting.
    void process();

    // Saves the next picture taken as a PNG file.
    void requestSnapshot(const std::string& path);

    // "frames N mismatched M fps F picture WxH kind K", the rate measured
    // since the previous call.
    std::string statsText();

private:
    const int camera_;
    Console& console_;
    std::mutex lock_;
    std::unique_ptr<Y4mStream> stream_;
    std::unique_ptr<std::uint8_t[]> picture_;  // pixel area plus reader slack, allocated at first use
    PictureLayout layout_;                     // of the kept picture
    float fps_ = 0.0f;
    bool pending_ = false;                     // kept and not processed yet
    std::string snapshotPath_;
    PictureConverter snapshotConverter_;
    PictureLayout lastLayout_;                 // layout last announced
    bool lastMismatched_ = false;
    std::uint64_t frames_ = 0;
    std::uint64_t mismatched_ = 0;
    std::uint64_t framesAtStats_ = 0;
    double statsTime_;
};

}  // namespace tavin::vcam
