#include "discovery/android_usb_watcher.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <memory>

#include "engine/error_record.h"
#include "platform/child_process.h"
#include "platform/clock.h"
#include "session/tcp_transport.h"

namespace tavin {

namespace {

using platform::DeviceChange;

constexpr const char* kAdbProgram = "adb";
// The state word of an attached device, followed by CR or by the line's end.
constexpr std::string_view kAttachedBeforeCr = "device\r";
constexpr std::string_view kAttachedAtEnd = "device\n";
// A serial holding this names a device adb reaches over the network.
constexpr std::string_view kNetworkDeviceMark = ":5555";
// Output that tells that adb itself is missing.
constexpr std::string_view kAdbNotFound = "adb: not found";
constexpr std::string_view kNoSuchFile = "No such file or directory";
constexpr const char* kFailedOutput = "err";

// Running adb: up to 300 looks 20 ms apart for its first output, reads of
// 2000 bytes for at most 5 s, then at most 5 s for its end.
constexpr int kOutputLooks = 300;
constexpr int kOutputLookMs = 20;
constexpr std::size_t kReadChunk = 2000;
constexpr int kReadBoundMs = 5000;
constexpr int kExitWaitMs = 5000;
constexpr int kStepMs = 100;

// Probing: the phone's PhoneInfo must come within 20 steps of 100 ms.
constexpr int kProbeSteps = 20;
constexpr int kProbeNothing = 0;    // idle, or the probe failed
constexpr int kProbeWaiting = 1;
constexpr int kProbeAnswered = 2;

// Waiting between passes.
constexpr int kPassWaitMs = 30000;
constexpr int kArrivalDelayMs = 2000;  // time for adb to see a new phone
constexpr int kResumeDelayMs = 5000;

int msUntil(double deadline) { return static_cast<int>((deadline - platform::processClock()) * 1000.0); }

std::string_view trimTrailingSpace(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

// The position of the state word "device" that marks an attached device in
// `line` (which ends with its LF): followed by CR, or by the end of the line.
std::size_t attachedMark(std::string_view line) {
    const std::size_t at = line.find(kAttachedBeforeCr);
    if (at != std::string_view::npos) return at;
    if (line.ends_with(kAttachedAtEnd)) return line.size() - kAttachedAtEnd.size();
    return std::string_view::npos;
}

std::uint16_t freePort(const std::vector<AdbDeviceEntry>& entries, std::uint16_t base,
                       std::uint16_t AdbDeviceEntry::*port) {
    std::uint32_t candidate = base;
    for (std::size_t walk = 0; walk < entries.size(); ++walk) {
        for (const AdbDeviceEntry& e : entries)
            if (e.*port == candidate) ++candidate;
    }
    // At most base + kMaxAdbDevices: well inside the port range.
    return static_cast<std::uint16_t>(candidate);
}

std::vector<std::string> forwardArguments(const std::string& serial, std::uint16_t local, std::uint16_t remote) {
    return {"-s", serial, "forward", "tcp:" + std::to_string(local), "tcp:" + std::to_string(remote)};
}

}  // namespace

bool addAttachedDevices(std::string_view output, std::vector<AdbDeviceEntry>& entries) {
    bool grew = false;
    std::size_t start = 0;
    for (std::size_t end; (end = output.find('\n', start)) != std::string_view::npos; start = end + 1) {
        const std::string_view line = output.substr(start, end - start + 1);
        const std::size_t mark = attachedMark(line);
        if (mark == std::string_view::npos) continue;
        const std::string_view serial = trimTrailingSpace(line.substr(0, mark));
        // A serial must be one usable argument of a sane length.
        if (serial.empty() || serial.size() > kMaxAdbSerial || serial.find('\0') != std::string_view::npos)
            continue;
        if (std::any_of(entries.begin(), entries.end(), [&](const AdbDeviceEntry& e) { return e.serial == serial; }))
            continue;
        if (serial.find(kNetworkDeviceMark) != std::string_view::npos) continue;
        if (entries.size() >= kMaxAdbDevices) continue;
        AdbDeviceEntry entry;
        entry.serial = std::string(serial);
        entries.push_back(std::move(entry));
        grew = true;
    }
    return grew;
}

void assignForwardPorts(std::vector<AdbDeviceEntry>& entries) {
    for (AdbDeviceEntry& e : entries) {
        e.probePort = freePort(entries, kAdbProbeBasePort, &AdbDeviceEntry::probePort);
        e.sessionPort = freePort(entries, kAdbSessionBasePort, &AdbDeviceEntry::sessionPort);
    }
}

AndroidUsbWatcher::AndroidUsbWatcher(platform::SleepClock& sleepClock) : sleepClock_(sleepClock) {
    if (!thread_.start([this] { run(); })) running_.store(false);
}

AndroidUsbWatcher::~AndroidUsbWatcher() {
    running_.store(false);
    thread_.join();
}

void AndroidUsbWatcher::SetSink(AndroidPhoneSink* sink) {
    std::lock_guard<std::mutex> guard(lock_);
    sink_ = sink;
    if (sink == nullptr) return;
    for (const AdbDeviceEntry& e : devices_) {
        if (e.info.kind != 0) sink->PhoneFound(e.info.id, e.info.kind, e.info.name, e.sessionPort);
    }
}

std::vector<std::string> AndroidUsbWatcher::serials() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::string> out;
    for (const AdbDeviceEntry& e : devices_) out.push_back(e.serial);
    return out;
}

// ---- Running adb ------------------------------------------------------------

AndroidUsbWatcher::RunResult AndroidUsbWatcher::runAdb(const std::vector<std::string>& arguments,
                                                       OutputWait wait) {
    std::vector<std::string> argv;
    argv.reserve(arguments.size() + 1);
    argv.emplace_back(kAdbProgram);
    argv.insert(argv.end(), arguments.begin(), arguments.end());

    platform::StartFailure failure = platform::StartFailure::None;
    int error = 0;
    std::unique_ptr<platform::ChildProcess> child = platform::ChildProcess::start(argv, &failure, &error);
    if (!child) {
        if (failure == platform::StartFailure::Pipe) {
            recordError(errors::kAdbPipe);
        } else if (error == ENOENT) {
            // No adb on this machine: that is not a failure of the engine.
            return RunResult{kFailedOutput, RunStatus::NotInstalled};
        } else {
            recordError(errors::dottedTag("mc", error), errors::kAdbStartCode);
        }
        return RunResult{kFailedOutput, RunStatus::Failed};
    }

    // A run made while the watcher runs ends at once when it stops; the
    // last run (kill-server) has its whole bound.
    const std::atomic<bool>* keepWaiting = running_.load() ? &running_ : nullptr;
    RunResult result;
    if (wait == OutputWait::Wait) {
        bool available = false;
        for (int look = 0; look < kOutputLooks && running_.load(); ++look) {
            const platform::OutputState state = child->waitForOutput(kOutputLookMs);
            if (state == platform::OutputState::Available) {
                available = true;
                break;
            }
            if (state == platform::OutputState::Closed) break;
        }
        // Read until adb closes its output, within the bounds of time and
        // size; what comes beyond the size is read and dropped, so that adb
        // is not held up writing.
        const double deadline = platform::processClock() + kReadBoundMs / 1000.0;
        std::uint8_t chunk[kReadChunk];
        while (available && running_.load()) {
            const int left = msUntil(deadline);
            if (left <= 0) break;
            std::size_t got = 0;
            const platform::ReadStatus status = child->read(chunk, sizeof chunk, std::min(left, kStepMs), got);
            if (status == platform::ReadStatus::NothingYet) continue;
            if (status != platform::ReadStatus::Data) break;
            const std::size_t room = kMaxAdbOutput - result.output.size();
            result.output.append(reinterpret_cast<const char*>(chunk), std::min(got, room));
        }
    }
    // A child still running after this is killed and reaped with the object.
    child->waitForExit(kExitWaitMs, keepWaiting);
    return result;
}

std::size_t AndroidUsbWatcher::refreshAdbDevices() {
    const RunResult listing = runAdb({"devices"}, OutputWait::Wait);
    std::vector<std::vector<std::string>> forwards;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!running_.load() || !addAttachedDevices(listing.output, devices_)) return devices_.size();
        // The list grew: every device, old ones too, gets its ports again.
        assignForwardPorts(devices_);
        for (const AdbDeviceEntry& e : devices_) {
            forwards.push_back(forwardArguments(e.serial, e.probePort, protocol::kProbePort));
            forwards.push_back(forwardArguments(e.serial, e.sessionPort, protocol::kSessionPort));
        }
    }
    for (const auto& arguments : forwards) {
        if (!running_.load()) break;
        runAdb(arguments, OutputWait::DontWait);
    }
    return devices_.size();
}

// ---- Probing ----------------------------------------------------------------

void AndroidUsbWatcher::probe(std::size_t index) {
    // Only this thread changes the list, so the entry stays where it is.
    AdbDeviceEntry& entry = devices_[index];
    {
        std::lock_guard<std::mutex> guard(lock_);
        entry.stale = true;
    }
    std::shared_ptr<TcpTransport> transport = TcpTransport::create(TcpTransport::kSessionIdleTimeout, *this);
    PeerAddress peer{};
    peer.v4.sin_family = AF_INET;
    peer.v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    peer.v4.sin_port = htons(entry.probePort);
    probeStatus_.store(kProbeWaiting);
    if (!transport->start(peer, PhoneId{})) {
        transport->stop();
        return;
    }
    for (int step = 0; step < kProbeSteps && running_.load() && probeStatus_.load() == kProbeWaiting; ++step)
        platform::sleepMs(kStepMs);
    // No listener operation runs after this, and an answer is never taken
    // back, so the status read next is final.
    transport->stop();
    if (probeStatus_.load() != kProbeAnswered) return;

    std::lock_guard<std::mutex> guard(lock_);
    entry.stale = false;
    entry.info = probeInfo_;
    if (running_.load() && sink_ != nullptr)
        sink_->PhoneFound(entry.info.id, entry.info.kind, entry.info.name, entry.sessionPort);
}

void AndroidUsbWatcher::purge() {
    std::lock_guard<std::mutex> guard(lock_);
    for (const AdbDeviceEntry& e : devices_) {
        if (e.stale && running_.load() && sink_ != nullptr) sink_->PhoneLost(e.info.id);
    }
    std::erase_if(devices_, [](const AdbDeviceEntry& e) { return e.stale; });
}

void AndroidUsbWatcher::onConnected(PhoneTransport&) {}

void AndroidUsbWatcher::onConnectFailed(PhoneTransport&) {
    int expected = kProbeWaiting;
    probeStatus_.compare_exchange_strong(expected, kProbeNothing);
}

void AndroidUsbWatcher::onDisconnected(PhoneTransport&) {
    int expected = kProbeWaiting;
    probeStatus_.compare_exchange_strong(expected, kProbeNothing);
}

void AndroidUsbWatcher::onMessage(PhoneTransport&, const std::uint8_t* message, std::uint32_t length) {
    // Only the receive thread moves the status away from waiting, so the
    // buffer is never written once the watcher may read it.
    if (probeStatus_.load() != kProbeWaiting) return;
    if (!protocol::isProbeReply(message, length)) return;
    protocol::PhoneInfoFields info;
    if (!protocol::parsePhoneInfo(message, length, info)) return;
    probeInfo_ = info;
    probeStatus_.store(kProbeAnswered);
}

// ---- The thread ---------------------------------------------------------------

template <class More>
void AndroidUsbWatcher::waitWhile(platform::DeviceNotifications& notifications, int totalMs, DeviceChange& change,
                                  More more) {
    const double deadline = platform::processClock() + totalMs / 1000.0;
    while (running_.load() && more()) {
        const int left = msUntil(deadline);
        if (left <= 0) break;
        const DeviceChange noticed = notifications.wait(std::min(left, kStepMs));
        if (noticed != DeviceChange::None) change = noticed;
    }
}

void AndroidUsbWatcher::waitForChange(platform::DeviceNotifications& notifications) {
    DeviceChange change = DeviceChange::None;
    waitWhile(notifications, kPassWaitMs, change, [&] { return change == DeviceChange::None; });
    waitWhile(notifications, kArrivalDelayMs, change, [&] { return change == DeviceChange::Arrived; });
    if (change == DeviceChange::Resumed) {
        waitWhile(notifications, kResumeDelayMs, change, [] { return true; });
        // After a sleep every forward may be gone: start over, quietly.
        std::lock_guard<std::mutex> guard(lock_);
        devices_.clear();
    }
}

void AndroidUsbWatcher::run() {
    const RunResult first = runAdb({"devices"}, OutputWait::Wait);
    if (first.status == RunStatus::NotInstalled || first.output.find(kAdbNotFound) != std::string::npos ||
        first.output.find(kNoSuchFile) != std::string::npos) {
        running_.store(false);
        return;
    }
    platform::DeviceNotifications notifications(sleepClock_);
    while (running_.load()) {
        refreshAdbDevices();
        for (std::size_t i = 0; i < devices_.size() && running_.load(); ++i) probe(i);
        purge();
        waitForChange(notifications);
    }
    runAdb({"kill-server"}, OutputWait::DontWait);
    running_.store(false);
}

}  // namespace tavin
