#include "driver/audio_device.h"

#include <cerrno>

#include "output/driver_layout.h"
#include "platform/byte_order.h"

namespace tavin::driverside {
namespace {

platform::DeviceServer::Reply failure(int error) {
    platform::DeviceServer::Reply reply;
    reply.status = static_cast<std::uint32_t>(error);
    return reply;
}

}  // namespace

platform::DeviceServer::Reply AudioDevice::handleRequest(std::uint32_t code, const std::uint8_t* input,
                                                         std::uint32_t length, std::uint32_t capacity) {
    (void)capacity;  // the server cuts replies to the capacity
    platform::DeviceServer::Reply reply;
    switch (code) {
        case driver::kIoAttach:
            if (length < 8 || readLe32(input) != driver::kAudioInterface ||
                readLe32(input + 4) != static_cast<std::uint32_t>(index_))
                return failure(EINVAL);
            console_.line("audio %d attached", index_);
            playback_.attachedChanged(true);
            return reply;
        case driver::kIoDetach:
            if (length != 0) return failure(EINVAL);
            console_.line("audio %d detached", index_);
            playback_.attachedChanged(false);
            return reply;
        case driver::kIoQuery:
            if (length < 4 || readLe32(input) != 0) return failure(EINVAL);
            if (settings_.queryFails) return failure(EIO);
            reply.output.assign(4, 0);
            writeLe32(reply.output.data(), settings_.status);
            return reply;
        case driver::kAudioWrite: {
            if (length % 2 != 0) return failure(EINVAL);  // whole 16-bit samples only
            const std::uint32_t level = playback_.play(input, length);
            reply.output.assign(driver::kAudioWriteReply, 0);
            writeLe32(reply.output.data() + driver::kAudioWriteLevel, level);
            return reply;
        }
        default:
            return failure(ENOTTY);  // not a request of this device
    }
}

}  // namespace tavin::driverside
