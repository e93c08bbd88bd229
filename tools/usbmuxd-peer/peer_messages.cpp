#include "peer_messages.h"

#include <arpa/inet.h>
#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/byte_order.h"

namespace tavin::usbmuxpeer {

namespace {

// Product id of the devices the peer plays, and the fields a network
// device carries in place of a USB location.
constexpr std::uint64_t kProductId = 0x12a8;
constexpr std::uint64_t kConnectionSpeed = 480'000'000;
// A network device's address as the service reports it: a socket address
// that begins with its own length (127.0.0.1, no port).
constexpr std::uint8_t kNetworkAddress[16] = {16, AF_INET, 0, 0, 127, 0, 0, 1};

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Plist = std::unique_ptr<void, PlistDeleter>;

std::vector<std::uint8_t> packet(plist_t dict, std::uint32_t tag) {
    char* xml = nullptr;
    std::uint32_t size = 0;
    plist_to_xml(dict, &xml, &size);
    std::vector<std::uint8_t> out(header::kSize + (xml != nullptr ? size : 0));
    writeLe32(out.data() + header::kLength, static_cast<std::uint32_t>(out.size()));
    writeLe32(out.data() + header::kVersion, kPlistVersion);
    writeLe32(out.data() + header::kMessage, kPlistMessage);
    writeLe32(out.data() + header::kTag, tag);
    if (xml != nullptr) {
        std::memcpy(out.data() + header::kSize, xml, size);
        plist_to_xml_free(xml);
    }
    return out;
}

plist_t properties(const DeviceDescription& device) {
    plist_t props = plist_new_dict();
    plist_dict_set_item(props, "ConnectionType", plist_new_string(device.usb ? "USB" : "Network"));
    plist_dict_set_item(props, "DeviceID", plist_new_uint(device.handle));
    plist_dict_set_item(props, "ProductID", plist_new_uint(kProductId));
    plist_dict_set_item(props, "SerialNumber", plist_new_string(device.serial.c_str()));
    if (device.usb) {
        plist_dict_set_item(props, "ConnectionSpeed", plist_new_uint(kConnectionSpeed));
        plist_dict_set_item(props, "LocationID", plist_new_uint(device.handle));
    } else {
        plist_dict_set_item(props, "NetworkAddress",
                            plist_new_data(reinterpret_cast<const char*>(kNetworkAddress), sizeof kNetworkAddress));
        plist_dict_set_item(props, "EscapedFullServiceName", plist_new_string(device.serial.c_str()));
    }
    return props;
}

plist_t attachedDict(const DeviceDescription& device) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "MessageType", plist_new_string("Attached"));
    plist_dict_set_item(dict, "DeviceID", plist_new_uint(device.handle));
    plist_dict_set_item(dict, "Properties", properties(device));
    return dict;
}

}  // namespace

PacketHeader readHeader(const std::uint8_t* bytes) {
    return {readLe32(bytes + header::kLength), readLe32(bytes + header::kVersion),
            readLe32(bytes + header::kMessage), readLe32(bytes + header::kTag)};
}

bool parseRequest(const std::uint8_t* payload, std::size_t length, Request& out) {
    if (length == 0 || length > kMaxRequest) return false;
    plist_t root = nullptr;
    plist_from_xml(reinterpret_cast<const char*>(payload), static_cast<std::uint32_t>(length), &root);
    Plist owned(root);
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) return false;

    plist_t type = plist_dict_get_item(root, "MessageType");
    if (type == nullptr || plist_get_node_type(type) != PLIST_STRING) return false;
    char* text = nullptr;
    plist_get_string_val(type, &text);
    if (text == nullptr) return false;
    out = Request{};
    out.type = text;
    free(text);

    std::uint64_t value = 0;
    plist_t device = plist_dict_get_item(root, "DeviceID");
    if (device != nullptr && plist_get_node_type(device) == PLIST_UINT) {
        plist_get_uint_val(device, &value);
        out.hasDevice = value <= UINT32_MAX;
        out.device = static_cast<std::uint32_t>(value);
    }
    plist_t port = plist_dict_get_item(root, "PortNumber");
    if (port != nullptr && plist_get_node_type(port) == PLIST_UINT) {
        plist_get_uint_val(port, &value);
        out.hasPort = value <= UINT16_MAX;
        out.port = ntohs(static_cast<std::uint16_t>(value));
    }
    return true;
}

std::vector<std::uint8_t> resultPacket(std::uint32_t tag, std::uint32_t number) {
    Plist dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "MessageType", plist_new_string("Result"));
    plist_dict_set_item(dict.get(), "Number", plist_new_uint(number));
    return packet(dict.get(), tag);
}

std::vector<std::uint8_t> attachedPacket(const DeviceDescription& device) {
    Plist dict(attachedDict(device));
    return packet(dict.get(), 0);
}

std::vector<std::uint8_t> detachedPacket(std::uint32_t handle) {
    Plist dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "MessageType", plist_new_string("Detached"));
    plist_dict_set_item(dict.get(), "DeviceID", plist_new_uint(handle));
    return packet(dict.get(), 0);
}

std::vector<std::uint8_t> deviceListPacket(std::uint32_t tag, const std::vector<DeviceDescription>& devices) {
    // The list is a reply without a MessageType of its own.
    Plist dict(plist_new_dict());
    plist_t list = plist_new_array();
    for (const DeviceDescription& device : devices) plist_array_append_item(list, attachedDict(device));
    plist_dict_set_item(dict.get(), "DeviceList", list);
    return packet(dict.get(), tag);
}

}  // namespace tavin::usbmuxpeer
