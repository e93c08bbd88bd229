#include "driver/virtual_camera.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "output/driver_layout.h"
#include "platform/byte_order.h"

namespace tavin::driverside {
namespace {

namespace region = driver::region;
namespace slot = driver::slot;

// The frame interval in units of 100 ns of a rate; 0 for no usable rate.
std::uint32_t intervalOf(float fps) {
    if (!std::isfinite(fps) || fps <= 0.0f) return 0;
    const double interval = 10'000'000.0 / static_cast<double>(fps);
    if (interval >= static_cast<double>(std::numeric_limits<std::uint32_t>::max()))
        return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(std::lround(interval));
}

std::uint32_t magnitude(std::int32_t v) {
    return v < 0 ? static_cast<std::uint32_t>(-static_cast<std::int64_t>(v)) : static_cast<std::uint32_t>(v);
}

platform::DeviceServer::Reply failure(int error) {
    platform::DeviceServer::Reply reply;
    reply.status = static_cast<std::uint32_t>(error);
    return reply;
}

}  // namespace

VirtualCamera::VirtualCamera(int index, const CameraSettings& settings, Console& console, CameraListener& listener)
    : index_(index),
      settings_(settings),
      console_(console),
      listener_(listener),
      legacyCodes_(settings.cameraVersion == driver::kCameraInterfaceLegacy) {
    request_ = settings.format;
    if (request_.width != 0 && validFormat(request_, nullptr)) valid_ = request_;
    consumer_ = settings.consumer;
    formatListFlag_ = settings.formatList;
}

VirtualCamera::~VirtualCamera() = default;

bool VirtualCamera::create(std::string& error) {
    mutex_ = platform::NamedMutex::open(driver::kMutexNames[index_]);
    if (!mutex_) {
        error = std::string("cannot create the mutex ") + driver::kMutexNames[index_] + ": " + std::strerror(errno);
        return false;
    }
    createdMutex_ = true;
    event_ = platform::NamedEvent::open(driver::kEventNames[index_]);
    if (!event_) {
        error = std::string("cannot create the event ") + driver::kEventNames[index_] + ": " + std::strerror(errno);
        return false;
    }
    createdEvent_ = true;
    if (settings_.mode != CameraMode::Region) return true;

    region_ = platform::SharedRegion::create(driver::kRegionNames[index_], settings_.regionSize);
    if (!region_) {
        error = std::string("cannot create the region ") + driver::kRegionNames[index_] + ": " + std::strerror(errno);
        return false;
    }
    createdRegion_ = true;
    std::uint8_t* data = region_->data();
    if (!regionServiced()) {
        // A short region exists only to be refused; it gets its version word
        // when it has room for one, and is never read.
        if (region_->size() >= 4) writeLe32(data, settings_.regionVersion);
        return true;
    }
    // A reused object may hold an earlier run's bytes: clear every field and
    // trailer (not the pixel areas, so that a fresh object stays unbacked).
    writeLe32(data + region::kLayoutVersion, 0);
    std::atomic_thread_fence(std::memory_order_release);
    std::memset(data, 0, region::kSlot0);
    for (int i = 0; i < 2; ++i)
        std::memset(data + region::slotOffset(i) + slot::kPixelArea, 0, slot::kSize - slot::kPixelArea);
    std::memset(data + region::kSlotsEnd, 0, region::kSize - region::kSlotsEnd);
    {
        std::lock_guard<std::mutex> guard(lock_);
        data[region::kConsumerState] = consumer_ ? region::kConsumerReading : 0;
        writeRequestLocked();
        writeLeI32(data + region::kControlValueA, controlA_);
        writeLe32(data + region::kControlFlagB, controlB_);
        writeLe32(data + region::kFormatListFlag, formatListFlag_ ? 1 : 0);
    }
    // The version goes in last: an engine that opens the region early sees
    // version 0 and leaves it alone instead of reading half-written fields.
    std::atomic_thread_fence(std::memory_order_release);
    writeLe32(data + region::kLayoutVersion, settings_.regionVersion);
    return true;
}

void VirtualCamera::remove() {
    if (createdRegion_) platform::SharedRegion::unlink(driver::kRegionNames[index_]);
    if (createdEvent_) platform::NamedEvent::unlink(driver::kEventNames[index_]);
    if (createdMutex_) platform::NamedMutex::unlink(driver::kMutexNames[index_]);
    createdRegion_ = createdEvent_ = createdMutex_ = false;
    region_.reset();
    event_.reset();
    mutex_.reset();
}

void VirtualCamera::writeRequestLocked() {
    if (!regionServiced()) return;
    std::uint8_t* data = region_->data();
    // Width 0 means "no request": clearing it first and writing it last keeps
    // an engine that reads meanwhile from taking a half-written request.
    writeLeI32(data + region::kRequestWidth, 0);
    std::atomic_thread_fence(std::memory_order_release);
    writeLeI32(data + region::kRequestHeight, request_.height);
    writeLeF32(data + region::kRequestFps, request_.fps);
    writeLeI32(data + region::kRequestKind, request_.kind);
    std::atomic_thread_fence(std::memory_order_release);
    writeLeI32(data + region::kRequestWidth, request_.width);
}

void VirtualCamera::setRequest(const RequestedFormat& request) {
    std::lock_guard<std::mutex> guard(lock_);
    request_ = request;
    if (request.width == 0)
        valid_ = RequestedFormat{};
    else if (validFormat(request, nullptr))
        valid_ = request;
    writeRequestLocked();
}

void VirtualCamera::setConsumer(bool on) {
    std::lock_guard<std::mutex> guard(lock_);
    consumer_ = on;
    if (regionServiced()) region_->data()[region::kConsumerState] = on ? region::kConsumerReading : 0;
}

void VirtualCamera::setControlA(std::int32_t value) {
    std::lock_guard<std::mutex> guard(lock_);
    controlA_ = value;
    if (regionServiced()) writeLeI32(region_->data() + region::kControlValueA, value);
}

void VirtualCamera::setControlB(std::uint32_t value) {
    std::lock_guard<std::mutex> guard(lock_);
    controlB_ = value;
    if (regionServiced()) writeLe32(region_->data() + region::kControlFlagB, value);
}

void VirtualCamera::setFormatList(bool on) {
    std::lock_guard<std::mutex> guard(lock_);
    formatListFlag_ = on;
    if (regionServiced()) writeLe32(region_->data() + region::kFormatListFlag, on ? 1 : 0);
}

PictureLayout VirtualCamera::regionLayoutLocked(float* fps) const {
    // Without a request the engine writes 640 x 360 YUY2 at 30 frames per second.
    if (valid_.width == 0) {
        *fps = 30.0f;
        return PictureLayout{640, 360, driver::kYuy2};
    }
    *fps = valid_.fps;
    return PictureLayout{valid_.width, valid_.height, valid_.kind};
}

PictureLayout VirtualCamera::deviceLayoutLocked(float* fps) const {
    // Device replies carry only a kind flag (0 = kind 0, otherwise kind 1)
    // and positive sizes; an engine on the legacy interface writes kind 0
    // bottom-up.
    PictureLayout layout{640, 360, driver::kBgr24};
    *fps = 30.0f;
    if (valid_.width != 0) {
        layout.width = valid_.width;
        layout.height = static_cast<std::int32_t>(magnitude(valid_.height));
        layout.kind = valid_.kind == driver::kBgr24 ? driver::kBgr24 : driver::kYuy2;
        *fps = driver::rateFromInterval(intervalOf(valid_.fps));
    }
    if (legacyCodes_ && layout.kind == driver::kBgr24) layout.height = -layout.height;
    return layout;
}

void VirtualCamera::deviceFormatWordsLocked(bool forWrite, std::uint32_t words[4]) const {
    if (request_.width == 0) {
        // The query tells "no request" with zero sizes (the engine then uses
        // 640 x 360); write replies state that format itself, so that the
        // engine does not see a change after every picture.
        words[0] = forWrite ? 640 : 0;
        words[1] = forWrite ? 360 : 0;
        words[2] = 0;
        words[3] = forWrite ? intervalOf(30.0f) : 0;
        return;
    }
    words[0] = static_cast<std::uint32_t>(request_.width);
    words[1] = magnitude(request_.height);
    words[2] = request_.kind != driver::kBgr24 ? 1 : 0;
    words[3] = intervalOf(request_.fps);
}

platform::DeviceServer::Reply VirtualCamera::handleRequest(std::uint32_t code, const std::uint8_t* input,
                                                           std::uint32_t length, std::uint32_t capacity) {
    (void)capacity;  // the server cuts replies to the capacity
    const std::uint32_t writeCode = legacyCodes_ ? driver::kIoWriteBase
                                                 : driver::kIoWriteBase + 4u * static_cast<std::uint32_t>(index_);
    // Attach, detach and query name the interface and this camera's index.
    auto addressed = [&] {
        return length >= 8 && readLe32(input) == driver::kCameraInterface &&
               readLe32(input + 4) == static_cast<std::uint32_t>(index_);
    };
    platform::DeviceServer::Reply reply;
    if (code == driver::kIoAttach || code == driver::kIoDetach) {
        if (!addressed()) return failure(EINVAL);
        const bool attach = code == driver::kIoAttach;
        {
            std::lock_guard<std::mutex> guard(lock_);
            deviceAttached_ = attach;
        }
        console_.line("camera %d %s (device)", index_, attach ? "attached" : "detached");
        return reply;
    }
    if (code == driver::kIoQuery) {
        if (!addressed()) return failure(EINVAL);
        if (settings_.cameraQueryFails) return failure(EIO);
        std::uint32_t words[4];
        bool consumer;
        {
            std::lock_guard<std::mutex> guard(lock_);
            deviceFormatWordsLocked(false, words);
            consumer = consumer_;
        }
        namespace q = driver::query_reply;
        reply.output.assign(q::kSize, 0);
        std::uint8_t* out = reply.output.data();
        writeLe32(out + q::kVersion, settings_.cameraVersion);
        writeLe32(out + q::kWidth, words[0]);
        writeLe32(out + q::kHeight, words[1]);
        writeLe32(out + q::kStreaming, consumer ? 1 : 0);
        writeLe32(out + q::kKindFlag, words[2]);
        writeLe32(out + q::kInterval, words[3]);
        return reply;
    }
    if (code == writeCode) {
        PictureLayout layout;
        float fps;
        std::uint32_t words[4];
        bool consumer;
        std::int32_t controlA;
        std::uint32_t controlB;
        {
            std::lock_guard<std::mutex> guard(lock_);
            layout = deviceLayoutLocked(&fps);
            deviceFormatWordsLocked(true, words);
            consumer = consumer_;
            controlA = controlA_;
            controlB = controlB_;
        }
        listener_.take(TakenPicture{input, length, layout, fps, std::nullopt});
        listener_.process();
        namespace w = driver::write_reply;
        reply.output.assign(w::kSize, 0);
        std::uint8_t* out = reply.output.data();
        writeLe32(out + w::kWidth, words[0]);
        writeLe32(out + w::kHeight, words[1]);
        writeLe32(out + w::kStreaming, consumer ? 1 : 0);
        writeLe32(out + w::kKindFlag, words[2]);
        writeLe32(out + w::kInterval, words[3]);
        writeLeI32(out + w::kControlA, controlA);
        writeLe32(out + w::kControlB, controlB);
        return reply;
    }
    return failure(ENOTTY);  // not a request of this device
}

void VirtualCamera::takeSlot(std::size_t slotOffset, const PictureLayout& layout, float fps) {
    std::uint8_t* base = region_->data() + slotOffset;
    const std::int32_t count = readLeI32(base + slot::kByteCount);
    // A negative count is taken as 0; a listener never copies more than the
    // size of the expected layout, which fits the pixel area.
    listener_.take(TakenPicture{base, count < 0 ? 0 : static_cast<std::size_t>(count), layout, fps,
                                readLeF32(base + slot::kTimeStamp)});
    slot::readyFlag(base).store(0, std::memory_order_release);
    listener_.process();
}

void VirtualCamera::poll(bool readList) {
    if (!regionServiced()) return;
    std::uint8_t* data = region_->data();

    const bool attached =
        std::atomic_ref<std::uint8_t>(data[region::kAttached]).load(std::memory_order_acquire) != 0;
    if (attached != regionAttached_) {
        regionAttached_ = attached;
        console_.line("camera %d %s (region)", index_, attached ? "attached" : "detached");
        listener_.attachedChanged(attached);
    }

    std::uint8_t* slot0 = data + region::kSlot0;
    std::uint8_t* slot1 = data + region::kSlot1;
    const bool ready0 = slot::readyFlag(slot0).load(std::memory_order_acquire) != 0;
    const bool ready1 = slot::readyFlag(slot1).load(std::memory_order_acquire) != 0;
    if (ready0 || ready1) {
        PictureLayout layout;
        float fps;
        {
            std::lock_guard<std::mutex> guard(lock_);
            layout = regionLayoutLocked(&fps);
        }
        // With both slots full the older picture goes first.
        const bool slot1First =
            ready0 && ready1 && readLeF32(slot1 + slot::kTimeStamp) < readLeF32(slot0 + slot::kTimeStamp);
        if (slot1First) {
            takeSlot(region::kSlot1, layout, fps);
            takeSlot(region::kSlot0, layout, fps);
        } else {
            if (ready0) takeSlot(region::kSlot0, layout, fps);
            if (ready1) takeSlot(region::kSlot1, layout, fps);
        }
        // The engine sets the event after each picture; we took them all.
        if (event_) event_->reset();
    }

    if (readList) readFormatList();
}

void VirtualCamera::readFormatList() {
    // The engine rewrites the list while holding the mutex; a busy mutex
    // just defers the reading to the next pass.
    if (!mutex_ || !platform::holds(mutex_->lock(10))) return;
    const std::uint8_t* data = region_->data();
    DriverFormatList list;
    list.count = readLe32(data + region::kFormatCount);
    list.entries = static_cast<std::uint32_t>(std::min<std::size_t>(list.count, region::kFormatEntryMax));
    for (std::uint32_t i = 0; i < list.entries; ++i) {
        const std::uint8_t* entry = data + region::kFormatEntries + region::kFormatEntrySize * i;
        list.items[i] = {readLe32(entry), readLe32(entry + 4), readLe32(entry + 8), readLe32(entry + 12)};
    }
    mutex_->unlock();
    if (list == formats_) return;
    formats_ = list;
    console_.line("camera %d %s", index_, formatListText().c_str());
    listener_.formatListChanged(formats_);
}

std::string VirtualCamera::formatListText() const {
    std::string text = "formats " + std::to_string(formats_.entries);
    if (formats_.count != formats_.entries)
        text += " (count " + std::to_string(formats_.count) + " bounded)";
    if (formats_.entries > 0) text += ":";
    for (std::uint32_t i = 0; i < formats_.entries; ++i) {
        const DriverFormatList::Entry& e = formats_.items[i];
        char entry[64];
        std::snprintf(entry, sizeof entry, " %ux%u@%u/%u", e.width, e.height, e.fpsMilli, e.flag);
        text += entry;
    }
    return text;
}

std::string VirtualCamera::statsText() {
    std::string text;
    {
        std::lock_guard<std::mutex> guard(lock_);
        text = std::string("consumer ") + (consumer_ ? "on" : "off") + " request " + formatText(request_) +
               " attached " + (regionAttached_ || deviceAttached_ ? "yes" : "no");
    }
    if (regionServiced()) text += " " + formatListText();
    return text;
}

}  // namespace tavin::driverside
