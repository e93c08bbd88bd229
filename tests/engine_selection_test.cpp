// The automatic choice of phones across slots and the choice by key,
// through engine instances and the process-wide phone registry.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <unistd.h>

#include <memory>

#include "engine.h"
#include "engine/engine_instance.h"
#include "engine/instance_table.h"
#include "engine/phone_list.h"
#include "session/phone_registry.h"
#include "support/engine_support.h"

using namespace tavin;
using test::OpenedEngine;

namespace {

PhoneId idWith(std::uint8_t b0, std::uint8_t b1 = 0, std::uint8_t b2 = 0, std::uint8_t b3 = 0) {
    return PhoneId{b0, b1, b2, b3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x42};
}

void addPhone(EngineInstance& instance, const PhoneId& id, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    instance.networkSink().PhoneFound(id, 7, "phone", reinterpret_cast<sockaddr*>(&a), htons(port));
}

}  // namespace

TEST(Selection, LowerSlotsChooseFirstAndNoPhoneIsClaimedTwice) {
    auto slot0 = std::make_unique<EngineInstance>(3, 0);
    auto slot1 = std::make_unique<EngineInstance>(3, 1);
    auto slot2 = std::make_unique<EngineInstance>(3, 2);
    addPhone(*slot0, idWith(1), 9);
    addPhone(*slot0, idWith(2), 9);

    // Slot 2 waits while slots 0 and 1 have none, although phones are free.
    slot2->reportPhones();
    EXPECT_TRUE(isZeroId(slot2->currentPhoneId()));
    slot1->reportPhones();
    EXPECT_TRUE(isZeroId(slot1->currentPhoneId()));

    // Equal scores: slot 0 takes the first, slot 1 the second; the claim is
    // made at once, before any connection.
    slot0->reportPhones();
    EXPECT_EQ(slot0->currentPhoneId(), idWith(1));
    slot2->reportPhones();
    EXPECT_TRUE(isZeroId(slot2->currentPhoneId()));  // slot 1 has none yet
    slot1->reportPhones();
    EXPECT_EQ(slot1->currentPhoneId(), idWith(2));
    slot2->reportPhones();
    EXPECT_TRUE(isZeroId(slot2->currentPhoneId()));  // nothing left

    // A slot that already has its phone keeps it.
    slot0->reportPhones();
    EXPECT_EQ(slot0->currentPhoneId(), idWith(1));
    slot2.reset();
    slot1.reset();
    slot0.reset();
}

// Opened slots with their workers: two phones of equal score go to slots 0
// and 1, then slot 0 takes slot 1's phone by its key.
TEST_F(OpenedEngine, PhonesSpreadOverSlotsAndMoveByKey) {
    open(2);
    waitForWorkers();
    int listeners[2];
    std::uint16_t ports[2];
    for (int i = 0; i < 2; ++i) {
        listeners[i] = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(listeners[i], reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        listen(listeners[i], 8);
        socklen_t len = sizeof a;
        getsockname(listeners[i], reinterpret_cast<sockaddr*>(&a), &len);
        ports[i] = ntohs(a.sin_port);
    }
    EngineInstance& slot0 = *InstanceTable::at(0);
    EngineInstance& slot1 = *InstanceTable::at(1);
    const PhoneId first = idWith(7);
    const PhoneId minusFive = idWith(0xFB, 0xFF, 0xFF, 0xFF);
    addPhone(slot0, first, ports[0]);
    addPhone(slot0, minusFive, ports[1]);

    EXPECT_TRUE(test::waitFor([&] { return slot0.currentPhoneId() == first; }, 3.0));
    EXPECT_TRUE(test::waitFor([&] { return slot1.currentPhoneId() == minusFive; }, 3.0));
    EXPECT_EQ(PhoneRegistry::instance().getPhoneState(minusFive), PhoneState::Connecting);

    ESelectPhone(0, "-55");  // no such phone: nothing changes
    ESelectPhone(0, "-5");
    EXPECT_TRUE(test::waitFor([&] { return slot0.currentPhoneId() == minusFive; }, 3.0));
    // Slot 1 lost it and chooses again: the phone slot 0 let go.
    EXPECT_TRUE(test::waitFor([&] { return slot1.currentPhoneId() == first; }, 4.0));
    for (int fd : listeners) close(fd);
}
