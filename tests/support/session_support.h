// Helpers for the tests of the session layer: a temporary configuration
// home, a loopback peer that speaks raw bytes, an event log with bounded
// waits, and the phone simulator as a child process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "session/phone_transport.h"
#include "support/child_process.h"
#include "session/protocol.h"

namespace tavin::test {

// Generous bound of every wait in these tests: they fail instead of hang.
inline constexpr int kWaitMs = 15000;

// A fresh XDG_CONFIG_HOME for the lifetime of the object (error records).
class TempConfigHome {
public:
    TempConfigHome();
    ~TempConfigHome();
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::optional<std::string> previous_;
};

PhoneId phoneId(std::uint8_t first, std::uint8_t fill = 0x5a);
PeerAddress loopbackAddress(std::uint16_t port);

// One connected socket of the test's side.
class PeerSocket {
public:
    explicit PeerSocket(int fd = -1) : fd_(fd) {}
    ~PeerSocket();
    PeerSocket(PeerSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    PeerSocket& operator=(PeerSocket&& other) noexcept;
    PeerSocket(const PeerSocket&) = delete;
    PeerSocket& operator=(const PeerSocket&) = delete;

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool sendAll(const void* data, std::size_t length);
    bool sendAll(const std::vector<std::uint8_t>& bytes) { return sendAll(bytes.data(), bytes.size()); }
    template <std::size_t N>
    bool sendAll(const std::array<std::uint8_t, N>& bytes) {
        return sendAll(bytes.data(), N);
    }

    // Reads one framed message (header length bounded to 4,000,000);
    // nothing on time-out, close or a bad header.
    std::optional<std::vector<std::uint8_t>> readMessage(int timeoutMs = kWaitMs);
    // True when the other side closed (or reset) within the wait; bytes
    // that arrive meanwhile are discarded.
    bool waitClosed(int timeoutMs = kWaitMs);
    // True when nothing is readable now (no byte and no close pending).
    bool nothingPending();
    void close();

private:
    bool readExact(std::uint8_t* out, std::size_t length, int timeoutMs);
    int fd_;
};

// A listening loopback socket with an ephemeral port.
class LoopbackServer {
public:
    explicit LoopbackServer(int backlog = 4);
    ~LoopbackServer();
    std::uint16_t port() const { return port_; }
    PeerAddress address() const { return loopbackAddress(port_); }
    // Waits for one connection; an invalid socket on time-out.
    PeerSocket accept(int timeoutMs = kWaitMs);
    // True when a connection is waiting to be accepted right now.
    bool connectionPending();

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A loopback port that nobody listens on (connects are refused).
std::uint16_t closedLoopbackPort();

// A loopback listener whose accept queue is full, so that new connects
// are left unanswered (their SYNs are dropped).
class BlackholeListener {
public:
    BlackholeListener();
    ~BlackholeListener();
    std::uint16_t port() const { return port_; }
    bool ready() const { return ready_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::vector<int> fillers_;
    bool ready_ = false;
};

// Lines of text appended by any thread; waits are bounded.
class EventLog {
public:
    void add(std::string line);
    std::vector<std::string> lines() const;
    std::size_t count(const std::string& line) const;
    // Waits until `line` has been added (at least `times` times).
    bool waitFor(const std::string& line, int timeoutMs = kWaitMs, std::size_t times = 1) const;
    bool waitUntil(const std::function<bool(const std::vector<std::string>&)>& done, int timeoutMs = kWaitMs) const;

private:
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// Builders of raw phone-side messages.
std::vector<std::uint8_t> rawMessage(std::uint8_t type, std::uint32_t announcedLength,
                                     std::size_t bytesToBuild);
std::vector<std::uint8_t> videoMessage(std::uint32_t tagBits, std::size_t payloadBytes, std::uint8_t fill = 0x11);

// The phone simulator tools/phone as a child process.
class PhoneProcess {
public:
    // Starts it with --bind 127.0.0.1 --session-port 0 --probe-port 0 and
    // `extra`, and waits for its "listening" line. Check started().
    explicit PhoneProcess(const std::vector<std::string>& extra = {});

    static bool available();
    bool started() const { return sessionPort_ != 0; }
    std::uint16_t sessionPort() const { return sessionPort_; }
    // 0 unless `extra` asked for a probe port ("--probe-port auto").
    std::uint16_t probePort() const { return probePort_; }
    // Waits for an output line containing `text`.
    bool waitForLog(const std::string& text, int timeoutMs = kWaitMs);
    std::vector<std::string> logLines();

private:
    std::unique_ptr<ChildProcess> process_;  // stopped and reaped with the object
    std::uint16_t sessionPort_ = 0;
    std::uint16_t probePort_ = 0;
};

}  // namespace tavin::test
