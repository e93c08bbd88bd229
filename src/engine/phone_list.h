// The host's view of the phones: keys, the listed entries, and the choice
// of a free phone for an instance that has none.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "session/phone_registry.h"

namespace tavin {

// The decimal form of the id's first four bytes read as a signed
// little-endian 32-bit integer ("-5" for FB FF FF FF).
std::string phoneKey(const PhoneId& id);

inline bool isZeroId(const PhoneId& id) {
    for (std::uint8_t b : id) {
        if (b != 0) return false;
    }
    return true;
}

// The kinds offered for selection.
inline bool isSelectableKind(std::uint32_t kind) { return kind == 2 || kind == 7; }

struct PhoneListEntry {
    std::string key;
    std::string display;
    int current = 0;
};

struct PhoneListReport {
    std::vector<PhoneListEntry> entries;
    // The current phone can now be had over USB: select it again.
    std::optional<PhoneId> upgradeToUsb;
};

// The entries for an instance streaming from `current` (called under the
// registry lock). The current phone is listed with " [USB]" or " [WiFi]"
// when it streams; others when idle, streaming or waiting for a passcode,
// and named.
PhoneListReport buildPhoneList(const std::vector<std::unique_ptr<PhoneRecord>>& records,
                               const PhoneId& current, bool viaUsb);

// The best free phone: kind 2 or 7, idle or failed, not taken (by an id in
// `taken`), highest of its two scores, ties to the earlier; never one whose
// score is -1,000,000 or lower.
const PhoneRecord* chooseFreePhone(const std::vector<std::unique_ptr<PhoneRecord>>& records,
                                   const std::vector<PhoneId>& taken);

// The id of the first selectable phone whose key equals `key` exactly.
std::optional<PhoneId> findByKey(const std::vector<std::unique_ptr<PhoneRecord>>& records,
                                 std::string_view key);

}  // namespace tavin
