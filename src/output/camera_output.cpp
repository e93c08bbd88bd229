// The engine's end of one camera index's drivers.
//
// Transport. open() prefers the shared region the camera driver creates
// (layout version 6); without one it talks to the camera device with device
// requests and keeps the pictures in two local slots. The choice is made once
// per open and never changes.
//
// Requests from the driver. The consumer asks for a format through the
// region's request fields or in every WriteReply. Such a request is applied
// only when a frame slot can hold it (formatFitsSlot): a width above 0, a
// height not 0, kind 0..3, a finite rate, and the picture within the pixel
// area. A reply shorter than its layout counts the words it did not return as
// 0, so a cut reply never reads stale bytes.
//
// Slot writers. The output thread writes its own pictures while no phone
// streams, the publishing path the decoded ones while one does; each inside
// a write section, entered only while the slots are its own. setStreaming
// hands them over between the two: it waits for a section in progress,
// clears, and lets the other in. A format change on the output thread
// clears at once when the output side may write the slots, else the stream
// clears them before its next picture.
//
// Locks. The named mutex guards the format (shared with the driver's side)
// and the driver's format list; the in-process format lock guards the copy
// of the format that other threads read. Neither is held while waiting for
// anything else, and control values reach the phone only after the control
// lock is released.
#include "output/camera_output.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "engine/error_record.h"
#include "output/device_enumeration.h"
#include "output/driver_replies.h"
#include "output/idle_schedule.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "platform/resources.h"

namespace tavin {

namespace {

constexpr int kMutexWaitMs = 1000;
constexpr int kActivePasses = 20;   // passes per consumer check while somebody watches
constexpr int kActivePassMs = 10;
constexpr int kInactiveSleepMs = 100;
constexpr float kRateTolerance = 0.5f;

// Black in YUY2 (bytes 0x00, 0x80, 0x00, 0x80), repeated over a 3840 x 2160
// picture.
constexpr std::uint32_t kYuy2Black = 0x80008000u;
constexpr std::size_t kYuy2BlackWords = 4'147'200;
static_assert(kYuy2BlackWords * 4 <= driver::slot::kPixelArea);

// The format used when the region asks for none (or for one no slot holds).
constexpr OutputFormat kRegionDefault{640, 360, 30.0f, driver::kYuy2};
constexpr std::int32_t kDefaultWidth = 640;
constexpr std::int32_t kDefaultHeight = 360;

constexpr std::uint32_t kInt32Max = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());

// What the blank pass sent last (reset when the format changes size or
// blank mode ends).
constexpr std::int32_t kBlankNone = 0;
constexpr std::int32_t kBlankBgrSent = 1;
constexpr std::int32_t kBlankYuy2Sent = 2;

// Forwarding of local slots: attempts per pass, and the wait for a picture
// between them.
constexpr int kForwardAttempts = 2;
constexpr int kForwardWaitMs = 500;

// The longest a hand-over of the slots waits for a write in progress. Every
// write section is bounded well below it (a device request 2 s, the named
// mutex 1 s, one conversion); this only keeps a hung driver from holding
// the caller for ever.
constexpr auto kHandOverWait = std::chrono::seconds(5);
constexpr int kHandOverStepMs = 1;

bool hasDevices(int index) { return index >= 0 && index < driver::kCameraCount; }

// Row of the mutex and event names: indexes outside 0..3 take the last row.
int objectRow(int index) { return hasDevices(index) ? index : driver::kCameraCount - 1; }

bool rateDiffers(float a, float b) { return std::fabs(a - b) > kRateTolerance; }

// Opens a device by path; an empty path (device not found) fails as a
// missing file would.
std::unique_ptr<platform::DeviceHandle> openDevice(std::string_view path, int* error) {
    *error = 0;
    if (path.empty()) {
        *error = ENOENT;
        return nullptr;
    }
    auto device = platform::DeviceHandle::open(std::string(path), error);
    if (!device && *error == 0) *error = EIO;
    return device;
}

// {interface, camera index} followed by zeros up to `length` bytes.
void interfaceInput(std::uint8_t* input, std::size_t length, std::uint32_t interface, int index) {
    std::memset(input, 0, length);
    writeLe32(input, interface);
    writeLe32(input + 4, static_cast<std::uint32_t>(index));
}

void fillYuy2Black(std::uint8_t* pixels) {
    constexpr std::size_t total = kYuy2BlackWords * 4;
    writeLe32(pixels, kYuy2Black);
    std::size_t done = 4;
    while (done < total) {
        std::size_t n = done < total - done ? done : total - done;
        std::memcpy(pixels + done, pixels, n);
        done += n;
    }
}

}  // namespace

bool formatFitsSlot(std::int32_t width, std::int32_t height, float fps, std::int32_t kind) {
    if (width <= 0 || height == 0) return false;
    if (kind < driver::kBgr24 || kind > driver::kArgb) return false;
    if (!std::isfinite(fps)) return false;
    const std::uint64_t w = static_cast<std::uint64_t>(width);
    const std::uint64_t h = height < 0 ? static_cast<std::uint64_t>(-static_cast<std::int64_t>(height))
                                       : static_cast<std::uint64_t>(height);
    // Both sides at most the pixel area, so the product cannot overflow.
    if (w > driver::slot::kPixelArea || h > driver::slot::kPixelArea) return false;
    return driver::pictureBytes(kind, w, h) <= driver::slot::kPixelArea;
}

class CameraOutput::NamedLock {
public:
    explicit NamedLock(platform::NamedMutex* mutex) : mutex_(mutex) {
        held_ = !mutex_ || platform::holds(mutex_->lock(kMutexWaitMs));
    }
    ~NamedLock() { release(); }
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;

    bool held() const { return held_; }
    void release() {
        if (held_ && mutex_) mutex_->unlock();
        held_ = false;
    }

private:
    platform::NamedMutex* mutex_;
    bool held_ = false;
};

CameraOutput::CameraOutput(int cameraIndex, DriverControlSink& controls)
    : index_(cameraIndex), controls_(controls) {}

CameraOutput::~CameraOutput() { close(); }

int CameraOutput::open() {
    close();
    legacy_ = false;
    audioStatus_ = 0;
    audioWriter_.reset();
    blankState_.store(kBlankNone);
    {
        std::lock_guard<std::mutex> guard(controlLock_);
        lastControlA_ = 0;
        lastControlB_ = false;
    }

    // The platform makes the event openable by every user (mode 0666); the
    // mutex lives in this user's namespace.
    const int row = objectRow(index_);
    mutex_ = platform::NamedMutex::open(driver::kMutexNames[row]);
    event_ = platform::NamedEvent::open(driver::kEventNames[row]);
    loadIdlePicture();

    // Camera index 0 finds the devices of all indexes; the others use the
    // table as index 0 left it.
    if (index_ == 0) enumerateDevices();
    const DevicePathTable& table = devicePathTable();

    int error = 0;
    audio_ = openDevice(table.audioPath(index_), &error);
    if (!audio_) {
        recordError(errors::deviceOpenTag(index_, error, table.status()), errors::kAudioDeviceOpenCode);
        return kAudioOpenFailed;
    }
    std::uint8_t input[driver::kQueryOpenInput];
    std::uint32_t returned = 0;
    interfaceInput(input, 8, driver::kAudioInterface, index_);
    audio_->request(driver::kIoAttach, input, 8, nullptr, 0, &returned);  // result ignored

    std::uint8_t audioQuery[4] = {};
    std::uint8_t audioReply[4] = {};
    if (!audio_->request(driver::kIoQuery, audioQuery, sizeof audioQuery, audioReply, sizeof audioReply,
                         &returned)) {
        recordError(errors::kAudioQueryFailed);
        audio_.reset();
        return kAudioQueryFailed;
    }
    audioStatus_ = driver::replyWord(audioReply, returned, 0);

    if (hasDevices(index_)) {
        region_ = platform::SharedRegion::openExisting(driver::kRegionNames[index_], driver::region::kSize);
        if (region_ && readLe32(region_->data() + driver::region::kLayoutVersion) != driver::region::kVersion) {
            region_.reset();
        }
    }

    if (region_) {
        std::uint8_t* r = region_->data();
        std::memset(r + driver::region::kSlot0, 0, driver::region::kSlotsEnd - driver::region::kSlot0);
        r[driver::region::kAttached] = 1;
        OutputFormat start{readLeI32(r + driver::region::kRequestWidth),
                           readLeI32(r + driver::region::kRequestHeight),
                           readLeF32(r + driver::region::kRequestFps),
                           readLeI32(r + driver::region::kRequestKind)};
        if (start.width == 0 || !formatFitsSlot(start.width, start.height, start.fps, start.kind)) {
            start = kRegionDefault;
        }
        setOutputFormat(start.width, start.height, start.fps, start.kind);
        if (audioStatus_ != 1) {
            recordError(errors::kAudioNotReadyShared);
            return kRefused;
        }
        return startThread() ? kOk : kRefused;
    }

    camera_ = openDevice(table.cameraPath(index_), &error);
    if (!camera_) {
        recordError(errors::deviceOpenTag(index_, error, table.status()), errors::kCameraDeviceOpenCode);
        return kCameraOpenFailed;
    }
    interfaceInput(input, 8, driver::kCameraInterface, index_);
    camera_->request(driver::kIoAttach, input, 8, nullptr, 0, &returned);  // result ignored

    interfaceInput(input, driver::kQueryOpenInput, driver::kCameraInterface, index_);
    std::uint8_t reply[driver::query_reply::kSize] = {};
    if (!camera_->request(driver::kIoQuery, input, driver::kQueryOpenInput, reply, sizeof reply, &returned)) {
        recordError(errors::kCameraQueryFailed);
        camera_.reset();
        return kCameraQueryFailed;
    }
    const driver::QueryReply query = driver::readQueryReply(reply, returned);
    const std::uint32_t version = query.version;
    if (version < driver::kCameraInterfaceLegacy) {
        recordError(errors::kCameraVersionTooOld);
        return kCameraTooOld;
    }
    legacy_ = version == driver::kCameraInterfaceLegacy;

    // The device transport is decided: its local slots are made once and
    // kept for the life of this object.
    if (!localSlots_) localSlots_.reset(new (std::nothrow) std::uint8_t[2 * driver::slot::kSize]());

    const std::uint32_t width = query.width;
    const std::uint32_t height = query.height;
    const float fps = query.fps;
    const std::int32_t kind = query.kind;
    OutputFormat start{kDefaultWidth, kDefaultHeight, fps, kind};
    if (width != 0 && height != 0 && width <= kInt32Max && height <= kInt32Max &&
        formatFitsSlot(static_cast<std::int32_t>(width), static_cast<std::int32_t>(height), fps, kind)) {
        start.width = static_cast<std::int32_t>(width);
        start.height = static_cast<std::int32_t>(height);
    }
    setOutputFormat(start.width, start.height, start.fps, start.kind);

    if (audioStatus_ != 1 || (version != driver::kCameraInterface && version != driver::kCameraInterfaceLegacy)) {
        recordError(errors::kDeviceTransportRefused);
        return kRefused;
    }
    return startThread() ? kOk : kRefused;
}

bool CameraOutput::startThread() {
    running_.store(true);
    if (!thread_.start([this] { outputLoop(); })) {
        running_.store(false);
        return false;
    }
    return true;
}

void CameraOutput::close() {
    if (thread_.started()) {
        running_.store(false);
        thread_.join();
    }
    running_.store(false);
    std::uint8_t input[8];
    std::uint32_t returned = 0;
    if (camera_) {
        interfaceInput(input, sizeof input, driver::kCameraInterface, index_);
        camera_->request(driver::kIoDetach, input, sizeof input, nullptr, 0, &returned);
        camera_.reset();
    }
    if (audio_) {
        audio_->request(driver::kIoDetach, nullptr, 0, nullptr, 0, &returned);
        audio_.reset();
    }
    if (region_) {
        region_->data()[driver::region::kAttached] = 0;
        region_.reset();
    }
    mutex_.reset();
    event_.reset();
    releaseIdlePicture();
}

std::uint8_t* CameraOutput::slot(int index) const {
    if (index != 0 && index != 1) return nullptr;
    if (region_) return region_->data() + driver::region::slotOffset(index);
    if (localSlots_) return localSlots_.get() + static_cast<std::size_t>(index) * driver::slot::kSize;
    return nullptr;
}

std::uint8_t* CameraOutput::choosePublishSlot() {
    namespace sl = driver::slot;
    if (region_) {
        std::uint8_t* s0 = slot(0);
        std::uint8_t* s1 = slot(1);
        if (sl::readyFlag(s0).load(std::memory_order_acquire) == 0) return s0;
        if (sl::readyFlag(s1).load(std::memory_order_acquire) == 0) return s1;
        return readLeF32(s1 + sl::kTimeStamp) > readLeF32(s0 + sl::kTimeStamp) ? s0 : s1;
    }
    if (!localSlots_) return nullptr;
    NamedLock lock(mutex_.get());
    if (!lock.held()) {
        recordError(errors::kPublishMutexTimeout);
        return nullptr;
    }
    // Acquire: the sender is done with a free slot.
    const bool free0 = sl::readyFlag(slot(0)).load(std::memory_order_acquire) == 0;
    const bool free1 = sl::readyFlag(slot(1)).load(std::memory_order_acquire) == 0;
    return free0 ? slot(0) : free1 ? slot(1) : nullptr;
}

void CameraOutput::publishSlot(std::uint8_t* slot, std::int32_t bytes, float timeStamp) {
    writeLeI32(slot + driver::slot::kByteCount, bytes);
    writeLeF32(slot + driver::slot::kTimeStamp, timeStamp);
    driver::slot::readyFlag(slot).store(1, std::memory_order_release);
    if (event_) event_->set();
}

// ---- Slot writers -----------------------------------------------------------

// The output side's write section: the output thread writing its own
// pictures (or a caller of writeFrame acting for it). Sections nest.
class CameraOutput::OutputWrite {
public:
    explicit OutputWrite(CameraOutput& output)
        : output_(output), entered_(output.enterWrite(SlotWriter::Output, output.outputWriting_)) {}
    ~OutputWrite() {
        if (entered_) output_.outputWriting_.fetch_sub(1);
    }
    OutputWrite(const OutputWrite&) = delete;
    OutputWrite& operator=(const OutputWrite&) = delete;
    explicit operator bool() const { return entered_; }

private:
    CameraOutput& output_;
    const bool entered_;
};

bool CameraOutput::enterWrite(SlotWriter writer, std::atomic<int>& inside) {
    // Both sides are sequentially consistent: either a hand-over sees this
    // section open and waits for its end, or this sees the hand-over begun.
    inside.fetch_add(1);
    if (slotWriter_.load() == writer) return true;
    inside.fetch_sub(1);
    return false;
}

CameraOutput::StreamWrite::StreamWrite(CameraOutput& output)
    : output_(output), entered_(output.enterWrite(SlotWriter::Stream, output.streamWriting_)) {
    if (entered_ && output_.clearDue_.exchange(false)) output_.clearSlots();
}

CameraOutput::StreamWrite::~StreamWrite() {
    if (entered_) output_.streamWriting_.fetch_sub(1);
}

void CameraOutput::setStreaming(bool on) {
    std::lock_guard<std::mutex> serial(handOverLock_);
    streaming_.store(on);
    slotWriter_.store(SlotWriter::HandOver);
    const auto deadline = std::chrono::steady_clock::now() + kHandOverWait;
    while ((outputWriting_.load() > 0 || streamWriting_.load() > 0) && std::chrono::steady_clock::now() < deadline)
        platform::sleepMs(kHandOverStepMs);
    clearDue_.store(false);
    clearSlots();
    slotWriter_.store(on ? SlotWriter::Stream : SlotWriter::Output);
}

void CameraOutput::clearForFormat() {
    OutputWrite write(*this);
    if (write) {
        clearSlots();
    } else {
        clearDue_.store(true);
    }
}

void CameraOutput::clearSlots() {
    const std::int32_t kind = outputFormat().kind;
    for (int i = 0; i < 2; ++i) {
        std::uint8_t* s = slot(i);
        if (!s) return;
        // The ready flag goes first, so that a consumer never takes a picture
        // that is being cleared.
        driver::slot::readyFlag(s).store(0, std::memory_order_release);
        writeLeI32(s + driver::slot::kByteCount, 0);
        writeLeF32(s + driver::slot::kTimeStamp, 0.0f);
        if (kind == driver::kYuy2) {
            fillYuy2Black(s);
        } else {
            std::memset(s, 0, driver::slot::kPixelArea);
        }
    }
}

void CameraOutput::setOutputFormat(std::int32_t width, std::int32_t height, float fps, std::int32_t kind) {
    NamedLock lock(mutex_.get());
    if (!lock.held()) {
        recordError(errors::kSetFormatMutexTimeout);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(formatLock_);
        format_ = OutputFormat{width, height, fps, kind};
    }
}

OutputFormat CameraOutput::outputFormat() const {
    std::lock_guard<std::mutex> guard(formatLock_);
    return format_;
}

void CameraOutput::writeFrame(const std::uint8_t* bytes, std::int32_t count) {
    if (count < 0 || static_cast<std::size_t>(count) > driver::slot::kPixelArea) return;
    if (!bytes && count > 0) return;
    const std::size_t n = static_cast<std::size_t>(count);

    if (region_) {
        std::uint8_t* r = region_->data();
        const float stamp0 = readLeF32(r + driver::region::kSlot0 + driver::slot::kTimeStamp);
        const float stamp1 = readLeF32(r + driver::region::kSlot1 + driver::slot::kTimeStamp);
        std::uint8_t* s = slot(stamp1 < stamp0 ? 1 : 0);
        if (n) std::memmove(s, bytes, n);  // the picture may come from another slot
        writeLeI32(s + driver::slot::kByteCount, count);
        writeLeF32(s + driver::slot::kTimeStamp, static_cast<float>(platform::processClock()));
        driver::slot::readyFlag(s).store(1, std::memory_order_release);
        followRequest(readLeI32(r + driver::region::kRequestWidth), readLeI32(r + driver::region::kRequestHeight),
                      readLeF32(r + driver::region::kRequestFps), readLeI32(r + driver::region::kRequestKind));
        return;
    }
    if (!camera_) return;
    const std::uint32_t code =
        legacy_ ? driver::kIoWriteBase : driver::kIoWriteBase + 4u * static_cast<std::uint32_t>(index_);
    std::uint8_t reply[driver::write_reply::kSize] = {};
    std::uint32_t returned = 0;
    if (!camera_->request(code, bytes, static_cast<std::uint32_t>(n), reply, sizeof reply, &returned)) return;
    if (returned == 0) return;
    takeWriteReply(reply, returned);
}

void CameraOutput::takeWriteReply(const std::uint8_t* reply, std::uint32_t returned) {
    const driver::WriteReply write = driver::readWriteReply(reply, returned);
    if (!write.streaming) return;
    const std::uint32_t width = write.width;
    const std::uint32_t height = write.height;
    const float fps = write.fps;
    const std::int32_t kind = write.kind;

    // Sizes beyond int32 are not pictures any slot holds: such a reply
    // differs from every format and is never applied.
    const bool representable = width <= kInt32Max && height <= kInt32Max;
    std::int32_t w = representable ? static_cast<std::int32_t>(width) : 0;
    std::int32_t h = representable ? static_cast<std::int32_t>(height) : 0;
    // A legacy driver takes its 24-bit pictures bottom-up.
    if (legacy_ && kind == driver::kBgr24) h = -h;

    const OutputFormat current = outputFormat();
    const bool differs = !representable || w != current.width || h != current.height || kind != current.kind ||
                         rateDiffers(fps, current.fps);
    if (differs) {
        if (representable && formatFitsSlot(w, h, fps, kind)) setOutputFormat(w, h, fps, kind);
        clearForFormat();
    }
    if (write.hasControls) forwardControls(write.controlA, write.controlB);
}

void CameraOutput::followRequest(std::int32_t width, std::int32_t height, float fps, std::int32_t kind) {
    if (width == 0 || height == 0) return;
    const OutputFormat current = outputFormat();
    if (width == current.width && height == current.height && kind == current.kind &&
        !rateDiffers(fps, current.fps)) {
        return;
    }
    if (!formatFitsSlot(width, height, fps, kind)) return;
    setOutputFormat(width, height, fps, kind);
    clearForFormat();
}

void CameraOutput::forwardControls(std::int32_t valueA, std::uint32_t flagB) {
    const bool flag = flagB != 0;
    bool sendValue = false;
    bool sendFlag = false;
    {
        std::lock_guard<std::mutex> guard(controlLock_);
        if (valueA != lastControlA_) {
            lastControlA_ = valueA;
            sendValue = true;
        }
        if (flag != lastControlB_) {
            lastControlB_ = flag;
            sendFlag = true;
        }
    }
    if (sendValue) controls_.forwardControlValue(valueA);
    if (sendFlag) controls_.forwardControlFlag(flag ? 1 : 0);
}

bool CameraOutput::isConsumerActive() {
    if (region_) return region_->data()[driver::region::kConsumerState] == driver::region::kConsumerReading;
    if (!camera_) return false;
    std::uint8_t input[8];
    interfaceInput(input, sizeof input, driver::kCameraInterface, index_);
    std::uint8_t reply[driver::query_reply::kSize] = {};
    std::uint32_t returned = 0;
    if (!camera_->request(driver::kIoQuery, input, sizeof input, reply, sizeof reply, &returned)) return false;
    const driver::QueryReply query = driver::readQueryReply(reply, returned);
    return query.streaming || query.version == driver::kCameraInterfaceLegacy;
}

void CameraOutput::writeAudio(const std::int16_t* samples, std::uint32_t byteCount) {
    audioWriter_.write(audio_.get(), samples, byteCount);
}

bool CameraOutput::driverTakesFormatList() const {
    return region_ && readLe32(region_->data() + driver::region::kFormatListFlag) != 0;
}

bool CameraOutput::writeDriverFormatList(std::span<const DriverFormatEntry> entries) {
    namespace rg = driver::region;
    if (!region_) return false;
    NamedLock lock(mutex_.get());
    if (!lock.held()) return false;
    std::uint8_t* r = region_->data();
    const std::size_t n = entries.size() < rg::kFormatEntryMax ? entries.size() : rg::kFormatEntryMax;
    // The count goes in after each entry (a release store), so that a reader
    // never counts an entry that is not written yet.
    std::atomic_ref<std::uint32_t> count(*reinterpret_cast<std::uint32_t*>(r + rg::kFormatCount));
    count.store(0, std::memory_order_relaxed);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t* e = r + rg::kFormatEntries + i * rg::kFormatEntrySize;
        writeLe32(e, entries[i].width);
        writeLe32(e + 4, entries[i].height);
        writeLe32(e + 8, entries[i].fpsMilli);
        writeLe32(e + 12, entries[i].flag);
        count.store(static_cast<std::uint32_t>(i + 1), std::memory_order_release);
    }
    return true;
}

CameraOutput::StepBranch CameraOutput::stepBranch(bool blank, bool streaming, bool region) {
    if (blank && !streaming) return StepBranch::Blank;
    if (!streaming) return StepBranch::Idle;
    return region ? StepBranch::PollRegion : StepBranch::ForwardLocal;
}

void CameraOutput::outputLoop() {
    while (running_.load()) {
        if (isConsumerActive()) {
            for (int i = 0; i < kActivePasses; ++i) {
                if (!running_.load()) break;
                outputStep();
                platform::sleepMs(kActivePassMs);
            }
        } else {
            platform::sleepMs(kInactiveSleepMs);
        }
    }
}

void CameraOutput::outputStep() {
    const StepBranch branch = stepBranch(blank_.load() != 0, streaming_.load(), region_ != nullptr);
    if (branch == StepBranch::Blank) {
        // The thread's own pictures go out in its write section; while the
        // slots change hands there are none.
        if (OutputWrite write{*this}) blankPass();
        return;
    }
    blankState_.store(kBlankNone);
    switch (branch) {
        case StepBranch::PollRegion: pollRegion(); break;
        case StepBranch::ForwardLocal: forwardLocalSlotPass(); break;
        case StepBranch::Idle:
            if (OutputWrite write{*this}) idlePass();
            break;
        case StepBranch::Blank: break;
    }
}

void CameraOutput::pollRegion() {
    namespace rg = driver::region;
    const std::uint8_t* r = region_->data();
    followRequest(readLeI32(r + rg::kRequestWidth), readLeI32(r + rg::kRequestHeight),
                  readLeF32(r + rg::kRequestFps), readLeI32(r + rg::kRequestKind));
    forwardControls(readLeI32(r + rg::kControlValueA), readLe32(r + rg::kControlFlagB));
}

void CameraOutput::loadIdlePicture() { idle_.load(platform::findResource(platform::kIdleAnimationResource)); }

void CameraOutput::releaseIdlePicture() { idle_.release(); }

void CameraOutput::sendOwnPicture(std::span<const std::uint8_t> picture) {
    // Never more than a pixel area: the idle picture makes only formats a
    // slot holds.
    if (!picture.empty()) writeFrame(picture.data(), static_cast<std::int32_t>(picture.size()));
}

void CameraOutput::blankPass() {
    const OutputFormat format = outputFormat();
    const std::int32_t state = blankState_.load();
    const bool bgrDue = format.kind == driver::kBgr24 && state != kBlankBgrSent;
    const bool yuy2Due = format.kind == driver::kYuy2 && state != kBlankYuy2Sent;
    if (bgrDue || yuy2Due) {
        blankState_.store(bgrDue ? kBlankBgrSent : kBlankYuy2Sent);
        sendOwnPicture(idle_.blank(format.width, format.height, format.kind));
        // The driver's reply to this very picture may have asked for another
        // size: the green goes again at that size.
        const OutputFormat after = outputFormat();
        if (after.width != format.width || after.height != format.height) blankState_.store(kBlankNone);
    } else {
        followQueriedFormat();
    }
    if (event_) event_->reset();
}

void CameraOutput::followQueriedFormat() {
    // Only the camera device is asked; on the shared region nothing happens.
    if (!camera_) return;
    std::uint8_t input[8];
    interfaceInput(input, sizeof input, driver::kCameraInterface, index_);
    std::uint8_t reply[driver::query_reply::kSize] = {};
    std::uint32_t returned = 0;
    if (!camera_->request(driver::kIoQuery, input, sizeof input, reply, sizeof reply, &returned)) return;
    const driver::QueryReply query = driver::readQueryReply(reply, returned);
    const std::uint32_t width = query.width;
    const std::uint32_t height = query.height;
    const std::int32_t kind = query.kind;
    // Read as at open: no size means 640 x 360. A legacy driver takes its
    // 24-bit pictures bottom-up, as its write replies say.
    std::int32_t w = kDefaultWidth, h = kDefaultHeight;
    if (width != 0 && height != 0) {
        w = width <= kInt32Max ? static_cast<std::int32_t>(width) : 0;
        h = height <= kInt32Max ? static_cast<std::int32_t>(height) : 0;
    }
    if (legacy_ && kind == driver::kBgr24) h = -h;
    const OutputFormat current = outputFormat();
    if (w == current.width && h == current.height && kind == current.kind) return;
    // A format no slot holds is not applied, and then the blank picture
    // already sent stays.
    if (!formatFitsSlot(w, h, current.fps, kind)) return;
    if (w != current.width || h != current.height) blankState_.store(kBlankNone);
    setOutputFormat(w, h, current.fps, kind);
}

void CameraOutput::forwardLocalSlotPass() {
    for (int attempt = 0; attempt < kForwardAttempts; ++attempt) {
        NamedLock lock(mutex_.get());
        if (!lock.held()) {
            recordError(errors::kOutputStepMutexTimeout);
            return;
        }
        std::uint8_t* const s0 = slot(0);
        std::uint8_t* const s1 = slot(1);
        if (!s0 || !s1) return;
        const bool ready0 = driver::slot::readyFlag(s0).load(std::memory_order_acquire) != 0;
        const bool ready1 = driver::slot::readyFlag(s1).load(std::memory_order_acquire) != 0;
        // The older picture first; slot 0 on equal time stamps. A slot that
        // is not ready may be being filled: nothing of it is read.
        const bool slot1Older = ready0 && ready1 &&
                                readLeF32(s1 + driver::slot::kTimeStamp) < readLeF32(s0 + driver::slot::kTimeStamp);
        std::uint8_t* chosen = nullptr;
        if (ready0 && !slot1Older) {
            chosen = s0;
        } else if (ready1) {
            chosen = s1;
        }
        const std::int32_t count = chosen ? readLeI32(chosen + driver::slot::kByteCount) : 0;
        lock.release();
        if (chosen) {
            writeFrame(chosen, count);
            driver::slot::readyFlag(chosen).store(0, std::memory_order_release);
            if (event_) event_->reset();
            return;
        }
        if (!event_) return;
        event_->wait(kForwardWaitMs);
    }
}

void CameraOutput::idlePass() {
    IdleSchedule& schedule = IdleSchedule::process();
    const OutputFormat format = outputFormat();
    // Without an animation the frame counter is left alone.
    const std::uint64_t frame = idle_.frameCount() > 0 ? schedule.nextFrame() : 0;
    sendOwnPicture(idle_.draw(format.width, format.height, format.kind, frame));
    schedule.pace();
}

}  // namespace tavin
