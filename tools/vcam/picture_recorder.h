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

#include "driver/console.h"
#include "driver/virtual_camera.h"
#include "picture_converter.h"
#include "y4m_stream.h"

namespace tavin::vcam {

class PictureRecorder : public driverside::CameraListener {
public:
    // `stream` may be null (nothing recorded).
    PictureRecorder(int camera, driverside::Console& console, std::unique_ptr<Y4mStream> stream);
    PictureRecorder(const PictureRecorder&) = delete;
    PictureRecorder& operator=(const PictureRecorder&) = delete;

    // Copies in one picture that should be laid out as its layout says. A
    // picture whose byte count is not that of its layout (or lies beyond a
    // slot's pixel area) is counted as mismatched and not kept. The source
    // may be reused when this returns.
    void take(const driverside::TakenPicture& picture) override;
    // Records the picture kept by the last take() (stream and snapshot).
    // Split from take() so that a frame slot is released before converting.
    void process() override;

    // Saves the next picture taken as a PNG file.
    void requestSnapshot(const std::string& path);

    // "frames N mismatched M fps F picture WxH kind K", the rate measured
    // since the previous call.
    std::string statsText();

private:
    const int camera_;
    driverside::Console& console_;
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
