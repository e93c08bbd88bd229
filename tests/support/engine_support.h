// Opened engine slots for tests: the driver substitute as a real process,
// EInitialize and EOpen through the exports, the host's callbacks recorded.
// The instance table is process-wide and only grows, so each test program
// opens the engine once.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/output_support.h"

namespace tavin::test {

// What the host heard.
struct HostLog {
    std::mutex lock;
    std::vector<std::pair<int, int>> status;
    std::vector<std::string> phones;  // "slot position key name current"
    std::vector<std::string> frameSizes;  // "slot WxH"
    bool hasStatus(int index, int code);
    bool hasPhone(const std::string& line);
};
HostLog& hostLog();

// Polls `done` every 10 ms for at most `seconds`.
bool waitFor(const std::function<bool()>& done, double seconds);

class OpenedEngine : public ::testing::Test {
protected:
    // Starts vcam with `vcamArgs`, then EInitialize(count) and EOpen for
    // each slot, expecting status 0 for every one.
    void open(int count, std::vector<std::string> vcamArgs = {});
    void TearDown() override;
    // Waits until the workers are past their start delay.
    static void waitForWorkers();

    ScopedDeviceDir devices_;
    TempDir config_;
    std::unique_ptr<Vcam> vcam_;
};

}  // namespace tavin::test
