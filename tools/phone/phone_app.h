// The simulated phone as a whole: its two listening ports, the session in
// progress, and the probe connections.
//
// The session port takes one session at a time (a second connection while
// one runs is closed at once). The probe port answers every connection with
// the phone's PhoneInfo and closes it shortly after. Control lines arrive
// from another thread through command().
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "phone_options.h"
#include "phone_session.h"

namespace tavin::phonesim {

class PhoneApp {
public:
    explicit PhoneApp(const PhoneOptions& options);
    ~PhoneApp();
    PhoneApp(const PhoneApp&) = delete;
    PhoneApp& operator=(const PhoneApp&) = delete;

    // Binds and listens on the session port and, when enabled, the probe
    // port. False with `error` set when either fails.
    bool listen(std::string& error);
    // The ports actually bound (ephemeral ones resolved); probe 0 = none.
    std::uint16_t sessionPort() const { return sessionPort_; }
    std::uint16_t probePort() const { return probePort_; }

    // Serves until quit() is called, `stopRequested` returns true (checked
    // every 100 ms), or, with --once, the first session has ended. Ends the
    // session in progress before returning.
    void run(const std::function<bool()>& stopRequested);

    // One control line (any thread).
    void command(const std::string& line);
    void quit() { quit_ = true; }

    // Called with the new name after an "info" command (any thread).
    void setRenameListener(std::function<void(const std::string&)> listener);

private:
    struct Probe {
        int fd;
        double closeAt;
    };

    void acceptSession();
    void acceptProbe();
    void serviceProbes(double now);
    void reapSession();

    PhoneOptions options_;
    int sessionListener_ = -1;
    int probeListener_ = -1;
    std::uint16_t sessionPort_ = 0;
    std::uint16_t probePort_ = 0;
    std::atomic<bool> quit_{false};
    bool sessionSeen_ = false;
    int sessionCount_ = 0;
    std::vector<Probe> probes_;

    std::mutex lock_;  // guards session_, options_.name and renamed_
    std::unique_ptr<PhoneSession> session_;
    std::function<void(const std::string&)> renamed_;
};

}  // namespace tavin::phonesim
