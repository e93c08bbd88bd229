// What one camera does with the pictures it takes: counts them, checks their
// size against the format the consumer asked for, records them in a Y4M
// stream, and on request saves PNG snapshots and short Y4M clips. Pictures arrive from the region
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
    // Records the next `pictures` pictures taken into `clip` (a file at
    // `path`), replacing a clip still being recorded.
    void requestClip(std::unique_ptr<Y4mStream> clip, const std::string& path, std::uint32_t pictures);

    // "frames N mismatched M fps F picture WxH kind K stamp S", the rate
    // measured since the previous call, S the time stamp of the last
    // picture kept.
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
    float stamp_ = 0.0f;                       // of the kept picture
    std::string snapshotPath_;
    std::unique_ptr<Y4mStream> clip_;
    std::string clipPath_;
    std::uint32_t clipLeft_ = 0;               // pictures the clip still takes
    std::uint32_t clipPictures_ = 0;           // pictures asked for
    PictureConverter snapshotConverter_;
    PictureLayout lastLayout_;                 // layout last announced
    bool lastMismatched_ = false;
    std::uint64_t frames_ = 0;
    std::uint64_t mismatched_ = 0;
    std::uint64_t framesAtStats_ = 0;
    double statsTime_;
};

}  // namespace tavin::vcam
