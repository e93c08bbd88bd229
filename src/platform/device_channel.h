// Device requests (the DeviceIoControl stand-in) and the capture-device
// directory (the system device enumerator stand-in).
//
// A device path is the filesystem path of a Unix-domain stream socket served
// by the driver side. One request and one reply each way, little-endian:
//   request: u32 total length (this word included), u32 code,
//            u32 output capacity, input bytes
//   reply:   u32 total length (this word included), u32 status
//            (0 = success, else an errno value), at most `capacity` bytes
// The byte layout is in docs/platform-objects.md and docs/driver-interface.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavin::platform {

// The longest input or output a request may carry (a 4K picture fits).
inline constexpr std::uint32_t kMaxDeviceTransfer = 64u * 1024u * 1024u;

class DeviceHandle {
public:
    // Connects to the device's socket. On failure returns null and stores the
    // errno of the failed connect (the "last-error code") in *error.
    static std::unique_ptr<DeviceHandle> open(const std::string& path, int* error);
    ~DeviceHandle();

    // Makes one request. Returns true when the reply arrived with status 0;
    // *returned gets the number of output bytes (the reply length minus 8,
    // never more than outCapacity). A reply longer than announced, a short
    // read, a time-out (timeoutMs for the whole exchange) or a non-zero
    // status is a failure. Requests on one handle are serialised.
    // A reply longer than outCapacity (but within kMaxDeviceTransfer) is
    // read and dropped, so the handle stays usable. After a failure that
    // loses the position in the reply stream (time-out, short read, a reply
    // length below 8 or beyond 8 + kMaxDeviceTransfer, a failed send) every
    // later request on the handle fails: the device must be opened again.
    bool request(std::uint32_t code, const void* input, std::uint32_t inputLength, void* output,
                 std::uint32_t outCapacity, std::uint32_t* returned, int timeoutMs = 2000);

private:
    explicit DeviceHandle(int fd);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The driver side of a device: a listening socket that answers requests on
// its own thread. Used by the driver substitute and by tests.
class DeviceServer {
public:
    struct Reply {
        std::uint32_t status = 0;  // 0 = success, else an errno value
        std::vector<std::uint8_t> output;
    };
    // Called on the server's thread for every request; output longer than
    // the capacity is cut to it.
    using Handler = std::function<Reply(std::uint32_t code, const std::uint8_t* input,
                                        std::uint32_t inputLength, std::uint32_t outCapacity)>;

    // Binds the socket at `path` (replacing a stale socket file; any other
    // file there makes it fail), mode 0666, and starts serving on one thread
    // that answers each client's requests in order. Null on failure.
    static std::unique_ptr<DeviceServer> start(const std::string& path, Handler handler);
    ~DeviceServer();  // stops serving, joins, removes the socket file

private:
    DeviceServer() = default;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// One device of the capture-device directory.
struct CaptureDevice {
    std::string friendlyName;
    std::string devicePath;   // empty when the file has no DevicePath line
    bool hasDevicePath = false;
};

// Enumeration status, as the engine reports it.
inline constexpr int kEnumOk = 0;
inline constexpr int kEnumUnavailable = 1;  // the directory cannot be opened
inline constexpr int kEnumEmpty = 2;        // it holds no device file

// $TAVIN_DEVICE_DIR, by default /run/tavin/devices.
std::string captureDeviceDirectory();

// Replaces `devices` with every regular "*.device" file of the directory, in
// byte order of the file names; files without a FriendlyName line are
// skipped, as are files that cannot be read or exceed 64 KiB (those do not
// count as device files). Returns the status above.
int enumerateCaptureDevices(std::vector<CaptureDevice>& devices);

}  // namespace tavin::platform
