// The adb stand-in (tools/adb) for tests: a state folder and a directory of
// its own holding "adb", put first on PATH for the object's lifetime, with
// helpers to give it devices and phones and to read what it recorded. Also:
// synthetic USB uevents, and a look at this process's adb children.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace tavin::test {

class AdbStandIn {
public:
    // Sets PATH and TAVIN_ADB_DIR; call before anything runs adb.
    AdbStandIn();
    // Stops the stand-in's forwarding server (waiting until it is gone),
    // removes the folders and restores the environment.
    ~AdbStandIn();
    AdbStandIn(const AdbStandIn&) = delete;
    AdbStandIn& operator=(const AdbStandIn&) = delete;

    const std::string& folder() const { return state_.path(); }
    // The exact bytes "adb devices" prints from now on.
    void setDevices(const std::string& output);
    // SERIAL's probe and session ports lead to these loopback ports.
    void addPhone(const std::string& serial, std::uint16_t probePort, std::uint16_t sessionPort);
    // From now on every run holds its output open and never ends.
    void setHanging(bool hanging);

    // Every command line so far, arguments joined by TAB.
    std::vector<std::string> commands() const;
    int count(const std::string& commandLine) const;
    // The forward command lines so far, in order.
    std::vector<std::string> forwards() const;
    // The descriptors the last run found open.
    std::string lastRunDescriptors() const;
    // True while the forwarding server answers.
    bool serverRunning() const;
    // Points PATH at an empty directory: no adb at all.
    void hideAdb();

private:
    TempDir state_;
    TempDir bin_;
    TempDir empty_;
    std::optional<std::string> previousPath_;
};

// The command line the stand-in records for these arguments.
std::string adbCommand(const std::vector<std::string>& arguments);
std::string forwardCommand(const std::string& serial, std::uint16_t local, std::uint16_t devicePort);

// Sends a kernel-style USB uevent ("add" or "remove" of a usb_device) to the
// uevent listeners of this network namespace. Needs root; false on failure.
bool sendUsbUevent(const std::string& action);

// This process's children named "adb": how many there are, and how many of
// them are zombies.
struct AdbChildren {
    int running = 0;
    int zombies = 0;
};
AdbChildren adbChildren();

}  // namespace tavin::test
