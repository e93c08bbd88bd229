// The messages of the usbmuxd service's protocol, version 1, as the peer
// speaks them: every packet is a 16-byte little-endian header (total
// length, version, message type, tag) followed by an XML property list.
// Replies repeat the request's tag; events carry tag 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavin::usbmuxpeer {

namespace header {
inline constexpr std::size_t kSize = 16;
inline constexpr std::size_t kLength = 0, kVersion = 4, kMessage = 8, kTag = 12;
}  // namespace header

inline constexpr std::uint32_t kPlistVersion = 1;
inline constexpr std::uint32_t kPlistMessage = 8;
// The largest request taken from a client, header included.
inline constexpr std::uint32_t kMaxRequest = 64 * 1024;

// Numbers of the "Result" message.
enum ResultCode : std::uint32_t {
    kResultOk = 0,
    kResultBadCommand = 1,
    kResultBadDevice = 2,
    kResultRefused = 3,
};

struct PacketHeader {
    std::uint32_t length = 0;
    std::uint32_t version = 0;
    std::uint32_t message = 0;
    std::uint32_t tag = 0;
};
PacketHeader readHeader(const std::uint8_t* bytes);

// A request's fields that the peer uses. `port` is in host byte order
// (the request carries it in network byte order).
struct Request {
    std::string type;  // MessageType
    bool hasDevice = false;
    std::uint32_t device = 0;
    bool hasPort = false;
    std::uint16_t port = 0;
};
// Parses the XML property list of a request. False for anything that is
// not a dictionary with a string MessageType.
bool parseRequest(const std::uint8_t* payload, std::size_t length, Request& out);

// What the peer tells clients about one device.
struct DeviceDescription {
    std::uint32_t handle = 0;
    bool usb = true;  // false: attached over the network
    std::string serial;
};

// Whole packets, header included.
std::vector<std::uint8_t> resultPacket(std::uint32_t tag, std::uint32_t number);
std::vector<std::uint8_t> attachedPacket(const DeviceDescription& device);
std::vector<std::uint8_t> detachedPacket(std::uint32_t handle);
std::vector<std::uint8_t> deviceListPacket(std::uint32_t tag, const std::vector<DeviceDescription>& devices);

}  // namespace tavin::usbmuxpeer
