#include "engine/phone_list.h"

#include <algorithm>
#include <cstring>

#include "platform/byte_order.h"

namespace tavin {

std::string phoneKey(const PhoneId& id) {
    return std::to_string(readLeI32(id.data()));
}

static std::string boundedName(const char (&name)[kPhoneNameSize]) {
    return std::string(name, strnlen(name, kPhoneNameSize));
}

PhoneListReport buildPhoneList(const std::vector<std::unique_ptr<PhoneRecord>>& records,
                               const PhoneId& current, bool viaUsb) {
    PhoneListReport report;
    for (const auto& record : records) {
        PhoneListEntry entry{phoneKey(record->id), boundedName(record->name), 0};
        if (record->id == current && record->state == PhoneState::Streaming) {
            entry.current = 1;
            entry.display += viaUsb ? " [USB]" : " [WiFi]";
            if (!viaUsb && record->usbFlag) report.upgradeToUsb = record->id;
            report.entries.push_back(std::move(entry));
            continue;
        }
        const bool listed = record->state == PhoneState::Idle || record->state == PhoneState::Streaming ||
                            record->state == PhoneState::PasscodeRequired;
        if (listed && !entry.display.empty()) report.entries.push_back(std::move(entry));
    }
    return report;
}

const PhoneRecord* chooseFreePhone(const std::vector<std::unique_ptr<PhoneRecord>>& records,
                                   const std::vector<PhoneId>& taken) {
    constexpr std::int32_t kNever = -1'000'000;
    const PhoneRecord* choice = nullptr;
    std::int32_t best = kNever;
    for (const auto& record : records) {
        if (!isSelectableKind(record->kind)) continue;
        if (record->state != PhoneState::Idle && record->state != PhoneState::Failed) continue;
        if (std::find(taken.begin(), taken.end(), record->id) != taken.end()) continue;
        const std::int32_t score = std::max(record->wifiScore, record->usbScore);
        if (score > best) {
            best = score;
            choice = record.get();
        }
    }
    return choice;
}

std::optional<PhoneId> findByKey(const std::vector<std::unique_ptr<PhoneRecord>>& records,
                                 std::string_view key) {
    for (const auto& record : records) {
        if (isSelectableKind(record->kind) && phoneKey(record->id) == key) return record->id;
    }
    return std::nullopt;
}

}  // namespace tavin
