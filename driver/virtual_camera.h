// One camera index of the virtual camera driver: its named objects, its
// shared region (layout version 6) or its answers to device requests, the
// consumer's side of the region (consumer state, requested format, control
// values, format-list flag) and the taking of every ready picture, which goes
// to the camera's listener.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "driver/console.h"
#include "driver/picture_layout.h"
#include "driver/requested_format.h"
#include "output/driver_layout.h"
#include "platform/device_channel.h"
#include "platform/named_objects.h"

namespace tavin::driverside {

// How the camera device of an index behaves.
enum class CameraMode {
    Region,  // shared region (the camera device answers as interface 100 too)
    Device,  // no region; device requests, interface 100
    Legacy,  // no region; device requests, interface 2
};

struct CameraSettings {
    CameraMode mode = CameraMode::Region;
    std::uint32_t regionVersion = driver::region::kVersion;
    std::size_t regionSize = driver::region::kSize;
    std::uint32_t cameraVersion = driver::kCameraInterface;  // in query replies
    bool cameraQueryFails = false;
    // The consumer's side at start.
    RequestedFormat format;  // width 0: no request
    bool consumer = false;
    bool formatList = false;
};

// The format list the engine wrote into the region, as read under the mutex.
struct DriverFormatList {
    struct Entry {
        std::uint32_t width = 0, height = 0, fpsMilli = 0, flag = 0;
        bool operator==(const Entry&) const = default;
    };
    std::uint32_t count = 0;    // as written by the engine
    std::uint32_t entries = 0;  // entries read: count bounded to the room in the region
    std::array<Entry, driver::region::kFormatEntryMax> items{};
    bool operator==(const DriverFormatList&) const = default;
};

// One picture taken from a slot or a write request. `bytes` is valid only
// during take().
struct TakenPicture {
    const std::uint8_t* bytes = nullptr;
    std::size_t count = 0;       // as the engine stated it; not checked against the layout
    PictureLayout layout;        // how the consumer's format lays it out
    float fps = 0.0f;
    std::optional<float> timeStamp;  // the slot's; none on the device transport
};

// What a camera reports. take() and process() may run on the region poller or
// on the camera device's server thread; the rest on the region poller.
class CameraListener {
public:
    virtual ~CameraListener() = default;
    // Copies the picture out (the slot is still held).
    virtual void take(const TakenPicture& picture) = 0;
    // Handles the picture kept by the last take(), after the slot was released.
    virtual void process() {}
    // The engine attached to the region (1) or let go of it (0).
    virtual void attachedChanged(bool attached) { (void)attached; }
    // The engine rewrote the format list.
    virtual void formatListChanged(const DriverFormatList& list) { (void)list; }
};

class VirtualCamera {
public:
    VirtualCamera(int index, const CameraSettings& settings, Console& console, CameraListener& listener);
    ~VirtualCamera();
    VirtualCamera(const VirtualCamera&) = delete;
    VirtualCamera& operator=(const VirtualCamera&) = delete;

    // Creates the named mutex and event and, with the region transport, the
    // region (mode 0666), and writes the region's fields. False with a reason.
    bool create(std::string& error);
    // Removes the names of everything create() made.
    void remove();

    // Answers one request on the camera device (called on its server thread).
    platform::DeviceServer::Reply handleRequest(std::uint32_t code, const std::uint8_t* input,
                                                std::uint32_t length, std::uint32_t capacity);

    // One pass over the region: takes ready pictures, reports the engine
    // attaching or letting go, and with `readFormatList` reads the format
    // list the engine wrote. Runs on one thread only (the region poller).
    void poll(bool readFormatList);

    // Consumer changes (any thread). setRequest writes the values unchecked;
    // only a request that passes validFormat() changes how pictures are read.
    void setRequest(const RequestedFormat& request);
    void setConsumer(bool on);
    void setControlA(std::int32_t value);
    void setControlB(std::uint32_t value);
    void setFormatList(bool on);

    // The engine holds the region (as last polled).
    bool attached() const { return regionAttached_; }
    // The last format list read (region poller only).
    const DriverFormatList& formatList() const { return formats_; }

    // "consumer on request ... attached ... formats ..." for the stats line
    // (region poller).
    std::string statsText();

    int index() const { return index_; }

private:
    bool regionServiced() const { return region_ && region_->size() >= driver::region::kSize; }
    void writeRequestLocked();
    void takeSlot(std::size_t slotOffset, const PictureLayout& layout, float fps);
    void readFormatList();
    std::string formatListText() const;
    // How pictures arriving by each transport are laid out.
    PictureLayout regionLayoutLocked(float* fps) const;
    PictureLayout deviceLayoutLocked(float* fps) const;
    // Width, height, kind flag and interval the device replies carry.
    void deviceFormatWordsLocked(bool forWrite, std::uint32_t words[4]) const;

    const int index_;
    const CameraSettings settings_;
    Console& console_;
    CameraListener& listener_;
    const bool legacyCodes_;  // write requests use the base code (interface 2)

    std::unique_ptr<platform::NamedMutex> mutex_;
    std::unique_ptr<platform::NamedEvent> event_;
    std::unique_ptr<platform::SharedRegion> region_;
    bool createdMutex_ = false, createdEvent_ = false, createdRegion_ = false;

    std::mutex lock_;  // the consumer state below, read by the device server thread
    RequestedFormat request_;  // as written into the region and the replies
    RequestedFormat valid_;    // the last request that passed validFormat(); width 0 = none
    bool consumer_ = false;
    std::int32_t controlA_ = 0;
    std::uint32_t controlB_ = 0;
    bool formatListFlag_ = false;
    bool deviceAttached_ = false;

    // Region poller only.
    bool regionAttached_ = false;
    DriverFormatList formats_;
};

}  // namespace tavin::driverside
