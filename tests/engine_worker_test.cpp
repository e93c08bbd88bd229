// Opened engine slots with their workers, against the real driver
// substitute: the report timing of the phone list and what closing a slot
// does.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include "engine.h"
#include "engine/engine_instance.h"
#include "engine/instance_table.h"
#include "platform/clock.h"
#include "support/engine_support.h"

using namespace tavin;
using test::OpenedEngine;
using test::waitFor;

TEST_F(OpenedEngine, WorkersReportInSlotOrderAndKeepAPendingReport) {
    open(4);
    ASSERT_TRUE(vcam_->waitForCount(" attached", 8));  // four cameras, four audio devices
    waitForWorkers();

    // A phone-list change: slot k reports k x 0.5 s later.
    int before[4];
    for (std::uint32_t k = 0; k < 4; ++k) before[k] = InstanceTable::at(k)->reportCount();
    const double changed = platform::processClock();
    InstanceTable::at(0)->onPhoneListChanged();
    ASSERT_TRUE(waitFor([&] { return InstanceTable::at(3)->reportCount() > before[3]; }, 4.0));
    for (std::uint32_t k = 0; k < 4; ++k) {
        EXPECT_EQ(InstanceTable::at(k)->reportCount(), before[k] + 1) << "slot " << k;
        const double delay = InstanceTable::at(k)->lastReportTime() - changed;
        EXPECT_GE(delay, 0.5 * k - 0.05) << "slot " << k;
        EXPECT_LE(delay, 0.5 * k + 0.4) << "slot " << k;
    }

    // A report due in 1.5 s is not advanced by a later request for an
    // immediate one, and the second request is dropped.
    EngineInstance& slot2 = *InstanceTable::at(2);
    const int count = slot2.reportCount();
    const double asked = platform::processClock();
    slot2.queueCommand({EngineCommand::kReport, PhoneId{}, 0, 1.5});
    usleep(300'000);
    slot2.queueCommand({EngineCommand::kReport, PhoneId{}, 0, 0.0});
    usleep(600'000);
    EXPECT_EQ(slot2.reportCount(), count);
    ASSERT_TRUE(waitFor([&] { return slot2.reportCount() > count; }, 3.0));
    EXPECT_GE(slot2.lastReportTime() - asked, 1.45);
    usleep(1'000'000);
    EXPECT_EQ(slot2.reportCount(), count + 1);

    // Closing any slot forgets every phone.
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    PhoneId id{};
    id[0] = 9;
    InstanceTable::at(0)->networkSink().PhoneFound(id, 1, "Not selectable", reinterpret_cast<sockaddr*>(&a),
                                                   htons(9));
    EXPECT_EQ(PhoneRegistry::instance().nameOf(id), "Not selectable");
    EUninitialize(3);
    EXPECT_EQ(PhoneRegistry::instance().nameOf(id), "Phone");
    EXPECT_TRUE(vcam_->waitForCount("camera 3 detached", 1));
}
