#include "support/engine_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

#include "engine.h"
#include "platform/clock.h"

namespace tavin::test {

namespace {
void onStatus(int32_t index, int32_t code) {
    std::lock_guard<std::mutex> guard(hostLog().lock);
    hostLog().status.emplace_back(index, code);
}

void onPhone(int32_t index, int32_t position, const char* key, const char* name, int32_t current) {
    std::lock_guard<std::mutex> guard(hostLog().lock);
    hostLog().phones.push_back(std::to_string(index) + " " + std::to_string(position) + " " + key + " " + name +
                               " " + std::to_string(current));
}

void onFrameSize(int32_t index, int32_t width, int32_t height) {
    std::lock_guard<std::mutex> guard(hostLog().lock);
    hostLog().frameSizes.push_back(std::to_string(index) + " " + std::to_string(width) + "x" +
                                   std::to_string(height));
}

int32_t onFormats(int32_t, const char*) { return 0; }
}  // namespace

HostLog& hostLog() {
    static HostLog log;
    return log;
}

bool HostLog::hasStatus(int index, int code) {
    std::lock_guard<std::mutex> guard(lock);
    return std::find(status.begin(), status.end(), std::make_pair(index, code)) != status.end();
}

bool HostLog::hasPhone(const std::string& line) {
    std::lock_guard<std::mutex> guard(lock);
    return std::find(phones.begin(), phones.end(), line) != phones.end();
}

bool waitFor(const std::function<bool()>& done, double seconds) {
    const double end = platform::processClock() + seconds;
    while (platform::processClock() < end) {
        if (done()) return true;
        usleep(10'000);
    }
    return done();
}

void OpenedEngine::open(int count, std::vector<std::string> vcamArgs) {
    setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
    // The DNS-SD library must not reach a daemon of the machine: that one
    // would send queries through real interfaces on the engine's behalf.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/engine-test-bus", 0);
    vcam_ = std::make_unique<Vcam>(devices_.path(), vcamArgs);
    ASSERT_TRUE(vcam_->ready());
    EInitialize(count, onStatus);
    for (int i = 0; i < count && i < 4; ++i) {
        SetCallback(static_cast<uint32_t>(i), nullptr, onFrameSize, onPhone, nullptr, nullptr, nullptr, nullptr, nullptr,
                    nullptr, onFormats);
    }
    for (int i = 0; i < count && i < 4; ++i) ASSERT_EQ(EOpen(), i);
    for (int i = 0; i < count && i < 4; ++i) ASSERT_TRUE(hostLog().hasStatus(i, 0)) << "slot " << i;
}

void OpenedEngine::TearDown() {
    for (std::uint32_t i = 0; i < 4; ++i) EUninitialize(i);
    vcam_.reset();
    unlinkOutputObjects();
}

void OpenedEngine::waitForWorkers() { usleep(2'400'000); }

}  // namespace tavin::test
