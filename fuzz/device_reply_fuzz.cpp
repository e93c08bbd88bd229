// A camera or audio driver's replies to device requests: the input is the
// whole byte stream the driver's side sends back on one device handle. The
// engine makes the requests the camera output makes (attach, query, picture
// writes, audio writes) until the handle fails, and reads each reply as the
// camera output and the audio writer do.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "output/camera_output.h"
#include "output/driver_layout.h"
#include "output/driver_replies.h"
#include "platform/device_channel.h"

using namespace tavin;

namespace {

// The driver's end: a listening socket in the private folder.
struct Device {
    std::string path;
    int listener = -1;
    Device() {
        path = fuzz::privateFolder() + "/camera.sock";
        listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        FUZZ_CHECK(listener >= 0 && bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                   listen(listener, 4) == 0);
    }
};

// What the camera output does with a reply's format: a size it can hold.
void takeFormat(std::uint32_t width, std::uint32_t height, float fps, std::int32_t kind) {
    if (width == 0 || height == 0 || width > 0x7fffffffu || height > 0x7fffffffu) return;
    if (formatFitsSlot(static_cast<std::int32_t>(width), static_cast<std::int32_t>(height), fps, kind)) {
        const std::size_t bytes = driver::pictureBytes(kind, width, height);
        FUZZ_CHECK(bytes > 0 && bytes <= driver::slot::kPixelArea);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Device device;
    int error = 0;
    auto handle = platform::DeviceHandle::open(device.path, &error);
    FUZZ_CHECK(handle != nullptr);
    const int peer = accept4(device.listener, nullptr, nullptr, SOCK_CLOEXEC);
    FUZZ_CHECK(peer >= 0);
    // The reply stream (as much as the socket takes), then its end: no read
    // waits for more.
    for (std::size_t at = 0; at < size;) {
        const ssize_t n = send(peer, data + at, size - at, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) break;
        at += static_cast<std::size_t>(n);
    }
    shutdown(peer, SHUT_WR);

    std::uint8_t input[driver::kQueryOpenInput] = {};
    std::uint8_t reply[driver::query_reply::kSize + 4];
    for (int i = 0; i < 16; ++i) {
        std::uint32_t returned = 0xdeadbeef;
        bool ok;
        switch (i % 4) {
            case 0:  // attach: no output wanted
                ok = handle->request(driver::kIoAttach, input, 8, nullptr, 0, &returned);
                FUZZ_CHECK(returned == 0);
                break;
            case 1: {
                ok = handle->request(driver::kIoQuery, input, sizeof input, reply, driver::query_reply::kSize,
                                     &returned);
                FUZZ_CHECK(returned <= driver::query_reply::kSize);
                const driver::QueryReply query = driver::readQueryReply(reply, returned);
                takeFormat(query.width, query.height, query.fps, query.kind);
                break;
            }
            case 2: {
                ok = handle->request(driver::kIoWriteBase, input, 16, reply, driver::write_reply::kSize, &returned);
                FUZZ_CHECK(returned <= driver::write_reply::kSize);
                const driver::WriteReply write = driver::readWriteReply(reply, returned);
                if (write.streaming) takeFormat(write.width, write.height, write.fps, write.kind);
                FUZZ_CHECK(!write.hasControls || returned == driver::write_reply::kSize);
                break;
            }
            default:
                ok = handle->request(driver::kAudioWrite, input, 8, reply, driver::kAudioWriteReply, &returned);
                FUZZ_CHECK(returned <= driver::kAudioWriteReply);
                (void)driver::readAudioLevel(reply, returned);
                break;
        }
        if (!ok) FUZZ_CHECK(returned == 0);
    }
    handle.reset();
    close(peer);
    return 0;
}
