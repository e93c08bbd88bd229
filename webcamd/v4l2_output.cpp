#include "v4l2_output.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output/driver_layout.h"

namespace tavin::webcamd {

std::optional<V4l2Format> v4l2FormatOf(const driverside::PictureLayout& layout) {
    const std::size_t bytes = driverside::layoutBytes(layout);
    if (bytes == 0 || bytes > driver::slot::kPixelArea) return std::nullopt;
    V4l2Format f;
    switch (layout.kind) {
        case driver::kBgr24:
            f.pixelFormat = V4L2_PIX_FMT_BGR24;
            f.colorspace = V4L2_COLORSPACE_SRGB;
            break;
        case driver::kYuy2:
            f.pixelFormat = V4L2_PIX_FMT_YUYV;
            f.colorspace = V4L2_COLORSPACE_SMPTE170M;
            break;
        case driver::kI420:
            f.pixelFormat = V4L2_PIX_FMT_YUV420;
            f.colorspace = V4L2_COLORSPACE_SMPTE170M;
            break;
        case driver::kArgb:
            f.pixelFormat = V4L2_PIX_FMT_ARGB32;  // bytes A, R, G, B
            f.colorspace = V4L2_COLORSPACE_SRGB;
            break;
        default:
            return std::nullopt;
    }
    f.width = static_cast<std::uint32_t>(layout.width);
    f.height = static_cast<std::uint32_t>(std::abs(layout.height));
    f.bytesPerLine = static_cast<std::uint32_t>(driverside::rowBytes(layout));
    f.sizeImage = static_cast<std::uint32_t>(bytes);
    return f;
}

V4l2Output::V4l2Output(int index, std::string devicePath, driverside::Console& console)
    : index_(index), path_(std::move(devicePath)), console_(console) {}

V4l2Output::~V4l2Output() {
    if (fd_ >= 0) ::close(fd_);
}

bool V4l2Output::open(std::string& error) {
    fd_ = ::open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        error = "cannot open " + path_ + ": " + std::strerror(errno);
        return false;
    }
    v4l2_capability caps{};
    if (::ioctl(fd_, VIDIOC_QUERYCAP, &caps) != 0) {
        error = path_ + " is not a video device: " + std::strerror(errno);
        return false;
    }
    const std::uint32_t c = (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
    if (!(c & V4L2_CAP_VIDEO_OUTPUT)) {
        error = path_ + " takes no video output (is it a v4l2loopback device?)";
        return false;
    }
    return true;
}

void V4l2Output::take(const driverside::TakenPicture& picture) {
    const std::size_t bytes = driverside::layoutBytes(picture.layout);
    if (bytes == 0 || picture.count != bytes || bytes > driver::slot::kPixelArea) {
        ++dropped_;
        return;
    }
    if (!picture_) picture_ = std::make_unique<std::uint8_t[]>(driver::slot::kPixelArea);
    pending_ = driverside::copyUpright(picture_.get(), picture.bytes, picture.layout);
    pendingLayout_ = picture.layout;
}

void V4l2Output::process() {
    if (pending_ == 0 || fd_ < 0) return;
    const std::size_t bytes = pending_;
    pending_ = 0;
    const std::optional<V4l2Format> wanted = v4l2FormatOf(pendingLayout_);
    if (!wanted) return;
    if (!format_ || !(*format_ == *wanted)) {
        v4l2_format f{};
        f.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        f.fmt.pix.width = wanted->width;
        f.fmt.pix.height = wanted->height;
        f.fmt.pix.pixelformat = wanted->pixelFormat;
        f.fmt.pix.field = V4L2_FIELD_NONE;
        f.fmt.pix.bytesperline = wanted->bytesPerLine;
        f.fmt.pix.sizeimage = wanted->sizeImage;
        f.fmt.pix.colorspace = wanted->colorspace;
        if (::ioctl(fd_, VIDIOC_S_FMT, &f) != 0) {
            if (!reportedFailure_)
                console_.line("camera %d %s refuses %ux%u: %s", index_, path_.c_str(), wanted->width,
                              wanted->height, std::strerror(errno));
            reportedFailure_ = true;
            ++dropped_;
            return;
        }
        format_ = wanted;
        reportedFailure_ = false;
        console_.line("camera %d %s format %ux%u %.4s", index_, path_.c_str(), wanted->width, wanted->height,
                      reinterpret_cast<const char*>(&wanted->pixelFormat));
    }
    const ssize_t n = ::write(fd_, picture_.get(), bytes);
    if (n == static_cast<ssize_t>(bytes)) {
        ++written_;
        return;
    }
    ++dropped_;  // a full or refusing device loses the picture, never blocks
    if (n < 0 && !reportedFailure_) {
        console_.line("camera %d %s write failed: %s", index_, path_.c_str(), std::strerror(errno));
        reportedFailure_ = true;
    }
}

std::string V4l2Output::statsText() const {
    char text[96];
    std::snprintf(text, sizeof text, "v4l2 written %llu dropped %llu", static_cast<unsigned long long>(written_),
                  static_cast<unsigned long long>(dropped_));
    return text;
}

}  // namespace tavin::webcamd
