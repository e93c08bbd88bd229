// A camera published through a v4l2loopback device (--v4l2): the device's
// output format follows the engine's picture, and each picture is written
// to it as it comes, rows top-down.
//
// v4l2loopback cannot tell the writer whether anybody reads nor which format
// a reader wants, so such a camera always counts as watched (the engine then
// writes its idle picture too) and asks for the one format given on the
// command line. With the module's exclusive_caps=1, the device offers
// capture to readers only once a format is set, that is after the first
// picture; programs that list cameras before that do not see it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "driver/console.h"
#include "driver/virtual_camera.h"

namespace tavin::webcamd {

// The v4l2 output format of a picture layout; none for a kind without one.
struct V4l2Format {
    std::uint32_t pixelFormat = 0;  // V4L2_PIX_FMT_*
    std::uint32_t width = 0;
    std::uint32_t height = 0;        // rows are always written top-down
    std::uint32_t bytesPerLine = 0;  // of the first plane
    std::uint32_t sizeImage = 0;
    std::uint32_t colorspace = 0;    // V4L2_COLORSPACE_*
    bool operator==(const V4l2Format&) const = default;
};
std::optional<V4l2Format> v4l2FormatOf(const driverside::PictureLayout& layout);

class V4l2Output : public driverside::CameraListener {
public:
    V4l2Output(int index, std::string devicePath, driverside::Console& console);
    ~V4l2Output() override;
    V4l2Output(const V4l2Output&) = delete;
    V4l2Output& operator=(const V4l2Output&) = delete;

    // Opens the device and checks it takes video output. False with a reason.
    bool open(std::string& error);

    // CameraListener (the region poller).
    void take(const driverside::TakenPicture& picture) override;
    void process() override;

    std::string statsText() const;

private:
    const int index_;
    const std::string path_;
    driverside::Console& console_;
    int fd_ = -1;
    std::unique_ptr<std::uint8_t[]> picture_;  // one slot's pixel area, allocated at first use
    std::size_t pending_ = 0;                  // bytes of the picture kept by take()
    driverside::PictureLayout pendingLayout_;
    std::optional<V4l2Format> format_;         // set on the device
    std::uint64_t written_ = 0;
    std::uint64_t dropped_ = 0;
    bool reportedFailure_ = false;
};

}  // namespace tavin::webcamd
