// One camera index of the virtual camera driver: its named objects, its
// shared region (layout version 6) or its answers to device requests, the
// simulated consumer (consumer state, requested format, control values,
// format-list flag) and the taking of every ready picture.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "console.h"
#include "options.h"
#include "picture_converter.h"
#include "picture_recorder.h"
#include "platform/device_channel.h"
#include "platform/named_objects.h"

namespace tavin::vcam {

class VirtualCamera {
public:
    VirtualCamera(int index, const VcamOptions& options, Console& console, PictureRecorder& recorder);
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
    // attaching or letting go, and with `readFormatList` records the format
    // list the engine wrote. Runs on the main thread only.
    void poll(bool readFormatList);

    // Consumer changes (main thread). setRequest writes the values unchecked;
    // only a request that passes validFormat() changes how pictures are read.
    void setRequest(const RequestedFormat& request);
    void setConsumer(bool on);
    void setControlA(std::int32_t value);
    void setControlB(std::uint32_t value);
    void setFormatList(bool on);

    // "consumer on request ... attached ... formats ..." for the stats line
    // (main thread).
    std::string statsText();

    int index() const { return index_; }

private:
    struct FormatList {
        std::uint32_t count = 0;      // as written by the engine
        std::uint32_t entries = 0;    // entries read: count bounded to the room in the region
        std::array<std::uint32_t, 4 * driver::region::kFormatEntryMax> words{};
        bool operator==(const FormatList&) const = default;
    };

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
    const VcamOptions& options_;
    Console& console_;
    PictureRecorder& recorder_;
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

    // Main thread only.
    bool regionAttached_ = false;
    FormatList formats_;
};

}  // namespace tavin::vcam
