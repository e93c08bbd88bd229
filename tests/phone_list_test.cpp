// Keys, the host's phone list and the choice of a free phone.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "engine/phone_list.h"

using namespace tavin;

namespace {

using Records = std::vector<std::unique_ptr<PhoneRecord>>;

PhoneId idOf(std::uint8_t b0, std::uint8_t b1 = 0, std::uint8_t b2 = 0, std::uint8_t b3 = 0) {
    PhoneId id{};
    id[0] = b0;
    id[1] = b1;
    id[2] = b2;
    id[3] = b3;
    id[15] = 0x5a;
    return id;
}

PhoneRecord& add(Records& records, const PhoneId& id, const char* name, PhoneState state = PhoneState::Idle,
                 std::uint32_t kind = 7) {
    auto record = std::make_unique<PhoneRecord>();
    record->id = id;
    record->kind = kind;
    record->state = state;
    std::strncpy(record->name, name, sizeof record->name - 1);
    records.push_back(std::move(record));
    return *records.back();
}

}  // namespace

TEST(PhoneKey, SignedLittleEndianOfTheFirstFourBytes) {
    EXPECT_EQ(phoneKey(idOf(0xFB, 0xFF, 0xFF, 0xFF)), "-5");
    EXPECT_EQ(phoneKey(idOf(0, 0, 0, 0)), "0");
    EXPECT_EQ(phoneKey(idOf(0x01, 0x02, 0, 0)), "513");
    EXPECT_EQ(phoneKey(idOf(0xFF, 0xFF, 0xFF, 0x7F)), "2147483647");
    EXPECT_EQ(phoneKey(idOf(0x00, 0x00, 0x00, 0x80)), "-2147483648");
}

TEST(PhoneList, CurrentPhoneCarriesItsPathAndOthersOnlyWhenUsable) {
    Records records;
    add(records, idOf(1), "", PhoneState::Streaming);            // current, nameless
    add(records, idOf(2), "Idle one");
    add(records, idOf(3), "Connecting", PhoneState::Connecting);
    add(records, idOf(4), "Failed", PhoneState::Failed);
    add(records, idOf(5), "");                                   // nameless, not current
    add(records, idOf(6), "Locked", PhoneState::PasscodeRequired);
    add(records, idOf(7), "Adb", PhoneState::Idle, 2);

    auto report = buildPhoneList(records, idOf(1), false);
    ASSERT_EQ(report.entries.size(), 4u);
    EXPECT_EQ(report.entries[0].display, " [WiFi]");
    EXPECT_EQ(report.entries[0].current, 1);
    EXPECT_EQ(report.entries[1].display, "Idle one");
    EXPECT_EQ(report.entries[1].current, 0);
    EXPECT_EQ(report.entries[2].display, "Locked");
    EXPECT_EQ(report.entries[3].key, phoneKey(idOf(7)));
    EXPECT_FALSE(report.upgradeToUsb);

    EXPECT_EQ(buildPhoneList(records, idOf(1), true).entries[0].display, " [USB]");
}

TEST(PhoneList, AWiFiStreamAskedToMoveToUsb) {
    Records records;
    PhoneRecord& phone = add(records, idOf(1), "Phone", PhoneState::Streaming);
    phone.usbFlag = true;
    auto report = buildPhoneList(records, idOf(1), false);
    ASSERT_TRUE(report.upgradeToUsb);
    EXPECT_EQ(*report.upgradeToUsb, idOf(1));
    EXPECT_FALSE(buildPhoneList(records, idOf(1), true).upgradeToUsb);
}

TEST(PhoneList, NameWithoutTerminatorIsBounded) {
    Records records;
    PhoneRecord& phone = add(records, idOf(1), "x");
    std::memset(phone.name, 'n', sizeof phone.name);
    auto report = buildPhoneList(records, idOf(9), false);
    ASSERT_EQ(report.entries.size(), 1u);
    EXPECT_EQ(report.entries[0].display.size(), kPhoneNameSize);
}

TEST(FreePhone, BestScoreTiesToTheEarlierAndTakenSkipped) {
    Records records;
    add(records, idOf(1), "a").wifiScore = 5;
    add(records, idOf(2), "b").usbScore = 5;
    EXPECT_EQ(chooseFreePhone(records, {})->id, idOf(1));
    EXPECT_EQ(chooseFreePhone(records, {idOf(1)})->id, idOf(2));
    EXPECT_EQ(chooseFreePhone(records, {idOf(1), idOf(2)}), nullptr);
}

TEST(FreePhone, OnlyIdleOrFailedSelectableKindsWithAUsableScore) {
    Records records;
    add(records, idOf(1), "connecting", PhoneState::Connecting);
    add(records, idOf(2), "streaming", PhoneState::Streaming);
    add(records, idOf(3), "locked", PhoneState::PasscodeRequired);
    add(records, idOf(4), "kind 1", PhoneState::Idle, 1);
    PhoneRecord& hopeless = add(records, idOf(5), "hopeless");
    hopeless.wifiScore = -1'000'000;
    hopeless.usbScore = -1'000'000;
    EXPECT_EQ(chooseFreePhone(records, {}), nullptr);

    PhoneRecord& failed = add(records, idOf(6), "failed", PhoneState::Failed);
    failed.wifiScore = -3;
    EXPECT_EQ(chooseFreePhone(records, {})->id, idOf(6));
}

TEST(FindByKey, ExactKeyOfASelectableKind) {
    Records records;
    add(records, idOf(0xFB, 0xFF, 0xFF, 0xFF), "minus five");
    add(records, idOf(9), "kind 1", PhoneState::Idle, 1);
    PhoneRecord& hopeless = add(records, idOf(7), "hopeless");
    hopeless.wifiScore = -1'000'000;
    hopeless.usbScore = -1'000'000;

    EXPECT_EQ(findByKey(records, "-5"), idOf(0xFB, 0xFF, 0xFF, 0xFF));
    EXPECT_FALSE(findByKey(records, "-50"));
    EXPECT_FALSE(findByKey(records, "9"));      // kind 1 is not offered
    EXPECT_EQ(findByKey(records, "7"), idOf(7));  // chosen by key despite its score
}
