// The usbmuxd peer (tools/usbmuxd-peer) as a child process, and an
// IosPhoneSink that keeps every report, for the tests of iOS phones on USB.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "session/phone_sinks.h"
#include "support/child_process.h"

namespace tavin::test {

class UsbmuxPeerProcess {
public:
    // Starts the peer on a socket in a temporary directory, waits for it
    // to listen, and points libusbmuxd of this process at it
    // (USBMUXD_SOCKET_ADDRESS; set it before any usbmuxd thread runs).
    UsbmuxPeerProcess();
    bool started() const { return started_; }
    // "UNIX:<path>".
    const std::string& address() const { return address_; }

    // attach <handle> <usb|network> <port>=127.0.0.1:<target>...; waits
    // until the peer has announced it.
    struct Port {
        std::uint16_t device;
        std::uint16_t target;
    };
    bool attach(std::uint32_t handle, bool usb, const std::vector<Port>& ports);
    bool detach(std::uint32_t handle);
    ChildProcess& process() { return *process_; }

private:
    bool command(const std::string& line, const std::string& answer);

    TempDir dir_;
    std::string address_;
    std::unique_ptr<ChildProcess> process_;
    bool started_ = false;
};

// Points libusbmuxd of this process at a socket where no service runs.
void useNoUsbmuxService();

struct IosReport {
    bool found = true;  // false: PhoneLost
    std::uint32_t handle = 0;
    PhoneId id{};
    std::uint16_t kind = 0;
    bool usb = false;
    std::string name;
    double time = 0.0;  // process clock
};

class RecordingIosSink : public IosPhoneSink {
public:
    void PhoneFound(const PhoneId& id, std::uint16_t kind, std::uint32_t handle, bool isUsb,
                    std::string_view name) override {
        add({true, handle, id, kind, isUsb, std::string(name), platform::processClock()});
    }
    void PhoneLost(std::uint32_t handle) override { add({false, handle, {}, 0, false, {}, platform::processClock()}); }

    // The reports of one handle, found (true) or lost (false).
    std::vector<IosReport> reports(std::uint32_t handle, bool found) {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<IosReport> out;
        for (const IosReport& r : reports_) {
            if (r.handle == handle && r.found == found) out.push_back(r);
        }
        return out;
    }
    // Waits until there are at least `count` such reports.
    bool waitFor(std::uint32_t handle, bool found, std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, timeout, [&] {
            std::size_t n = 0;
            for (const IosReport& r : reports_) n += r.handle == handle && r.found == found;
            return n >= count;
        });
    }

private:
    void add(IosReport report) {
        std::lock_guard<std::mutex> guard(lock_);
        reports_.push_back(std::move(report));
        changed_.notify_all();
    }
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<IosReport> reports_;
};

}  // namespace tavin::test
