#include "picture_recorder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "output/driver_layout.h"
#include "platform/clock.h"
#include "common/png_writer.h"
#include "driver/file_ops.h"

namespace tavin::vcam {

PictureRecorder::PictureRecorder(int camera, driverside::Console& console, std::unique_ptr<Y4mStream> stream)
    : camera_(camera), console_(console), stream_(std::move(stream)), statsTime_(platform::processClock()) {}

void PictureRecorder::take(const driverside::TakenPicture& picture) {
    const std::uint8_t* bytes = picture.bytes;
    const std::size_t count = picture.count;
    const PictureLayout& expected = picture.layout;
    std::lock_guard<std::mutex> guard(lock_);
    const std::size_t want = layoutBytes(expected);
    if (want == 0 || count != want || count > driver::slot::kPixelArea) {
        ++mismatched_;
        if (!lastMismatched_)  // once per run of mismatches, not per picture
            console_.line("camera %d picture of %zu bytes, expected %zu (%dx%d kind %d)", camera_, count, want,
                          expected.width, expected.height, expected.kind);
        lastMismatched_ = true;
        return;
    }
    lastMismatched_ = false;
    if (!picture_) {
        picture_ = std::make_unique<std::uint8_t[]>(driver::slot::kPixelArea + kSourceSlack);
        std::memset(picture_.get() + driver::slot::kPixelArea, 0, kSourceSlack);
    }
    std::memcpy(picture_.get(), bytes, count);
    layout_ = expected;
    fps_ = picture.fps;
    pending_ = true;
    ++frames_;
    if (!(expected == lastLayout_)) {
        lastLayout_ = expected;
        console_.line("camera %d picture %dx%d kind %d", camera_, expected.width, expected.height, expected.kind);
    }
}

void PictureRecorder::process() {
    std::lock_guard<std::mutex> guard(lock_);
    if (!pending_) return;
    pending_ = false;
    if (stream_) {
        switch (stream_->write(picture_.get(), layout_, fps_)) {
            case Y4mStream::Result::Written:
                break;
            case Y4mStream::Result::ConvertFailed:
                console_.line("camera %d picture %dx%d kind %d not converted", camera_, layout_.width,
                              layout_.height, layout_.kind);
                break;
            case Y4mStream::Result::WriteFailed:
                console_.line("camera %d stream write failed (%s); recording stops", camera_,
                              std::strerror(errno));
                stream_.reset();
                break;
        }
    }
    if (!snapshotPath_.empty()) {
        std::string path;
        path.swap(snapshotPath_);
        const int w = layout_.width, h = std::abs(layout_.height);
        const std::size_t stride = 3 * static_cast<std::size_t>(w);
        std::vector<std::uint8_t> rgb(stride * static_cast<std::size_t>(h));
        std::uint8_t* const planes[4] = {rgb.data(), nullptr, nullptr, nullptr};
        const int strides[4] = {static_cast<int>(stride), 0, 0, 0};
        if (!snapshotConverter_.convert(picture_.get(), layout_, AV_PIX_FMT_RGB24, w, h, planes, strides)) {
            console_.line("camera %d snapshot %s failed: picture not converted", camera_, path.c_str());
        } else if (!driverside::writeFileAtomically(path, tools::encodePng(rgb.data(), w, h, stride))) {
            console_.line("camera %d snapshot %s failed: %s", camera_, path.c_str(), std::strerror(errno));
        } else {
            console_.line("camera %d snapshot %s %dx%d", camera_, path.c_str(), w, h);
        }
    }
}

void PictureRecorder::requestSnapshot(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock_);
    snapshotPath_ = path;
}

std::string PictureRecorder::statsText() {
    std::lock_guard<std::mutex> guard(lock_);
    const double now = platform::processClock();
    double fps = 0.0;
    if (statsTime_ >= 0.0 && now > statsTime_)
        fps = static_cast<double>(frames_ - framesAtStats_) / (now - statsTime_);
    statsTime_ = now;
    framesAtStats_ = frames_;
    char text[256];
    std::snprintf(text, sizeof text, "frames %llu mismatched %llu fps %.1f picture %dx%d kind %d",
                  static_cast<unsigned long long>(frames_), static_cast<unsigned long long>(mismatched_), fps,
                  lastLayout_.width, lastLayout_.height, lastLayout_.kind);
    return text;
}

}  // namespace tavin::vcam
