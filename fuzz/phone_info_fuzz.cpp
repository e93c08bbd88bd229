// A PhoneInfo from the outside, as each discovery path takes it: as a
// multicast announcement (a datagram), and as the answer of a probe over an
// adb forward (one framed message) or to an added address (the first 280
// bytes). What each path accepts goes into the phone registry as that path
// reports it, and the host's phone list, keys and choice are made from the
// registry.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "discovery/multicast_listener.h"
#include "engine/phone_list.h"
#include "fuzz_support.h"
#include "session/phone_registry.h"

using namespace tavin;

namespace {

void checkFields(const protocol::PhoneInfoFields& info) {
    // The name is bounded to its field and always ends in a NUL.
    FUZZ_CHECK(std::memchr(info.name, 0, sizeof info.name) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PhoneRegistry& registry = PhoneRegistry::instance();
    registry.clear();

    protocol::PhoneInfoFields info;
    if (readAnnouncement(data, size, info)) {
        checkFields(info);
        sockaddr_in sender{};
        sender.sin_family = AF_INET;
        sender.sin_addr.s_addr = htonl(0x0a000002);
        registry.networkPhoneFound(info.id, info.kind, info.name, reinterpret_cast<const sockaddr*>(&sender),
                                   htons(protocol::kSessionPort));
    }

    // Over an adb forward the framing reader hands on the header's length.
    if (size >= protocol::kHeaderSize && protocol::headerLength(data) <= size) {
        const std::uint32_t length = protocol::headerLength(data);
        protocol::PhoneInfoFields probed;
        if (protocol::isProbeReply(data, length) && protocol::parsePhoneInfo(data, length, probed)) {
            checkFields(probed);
            registry.androidPhoneFound(probed.id, probed.kind, probed.name, 4700);
        }
    }

    // A probe of an added address reads exactly one PhoneInfo's bytes.
    const std::size_t have = std::min(size, protocol::phone_info::kSize);
    protocol::PhoneInfoFields answer;
    if (protocol::isProbeReply(data, have) && protocol::parsePhoneInfo(data, have, answer)) {
        checkFields(answer);
        sockaddr_in6 sender{};
        sender.sin6_family = AF_INET6;
        sender.sin6_addr.s6_addr[15] = 2;
        registry.networkPhoneFound(answer.id, answer.kind, answer.name, reinterpret_cast<const sockaddr*>(&sender),
                                   htons(protocol::kSessionPort));
    }

    registry.withRecords([](std::vector<std::unique_ptr<PhoneRecord>>& records) {
        FUZZ_CHECK(records.size() <= 2);  // at most one record per id, and at most two ids here
        for (const auto& r : records) FUZZ_CHECK(std::memchr(r->name, 0, sizeof r->name) != nullptr);
        const PhoneId current = records.empty() ? PhoneId{} : records.front()->id;
        const PhoneListReport list = buildPhoneList(records, current, false);
        for (const PhoneListEntry& entry : list.entries) {
            FUZZ_CHECK(entry.display.size() < kPhoneNameSize);
            if (const auto id = findByKey(records, entry.key)) FUZZ_CHECK(phoneKey(*id) == entry.key);
        }
        if (const PhoneRecord* free = chooseFreePhone(records, {})) FUZZ_CHECK(isSelectableKind(free->kind));
        return 0;
    });
    registry.clear();
    return 0;
}
