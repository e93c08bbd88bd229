// A private PipeWire session for a test: a session D-Bus, pipewire and
// wireplumber in a runtime folder of the test's own, with wireplumber's
// device monitors off, so that the session never reaches the machine's
// sound cards or cameras and other sessions never see it. Everything it
// started is stopped when the object goes away.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace tavin::test {

class PipewireSession {
public:
    // Why no session can run here (a program is missing), or empty.
    static std::string unavailableReason();

    // Starts the three and waits until wireplumber serves the session;
    // check ok().
    PipewireSession();
    ~PipewireSession();
    PipewireSession(const PipewireSession&) = delete;
    PipewireSession& operator=(const PipewireSession&) = delete;

    bool ok() const { return ok_; }
    // "NAME=value" entries that put a program into this session.
    const std::vector<std::string>& env() const { return env_; }
    const std::string& runtimeDir() const { return runtimeDir_; }

    // Starts a program of the session (found on PATH, or a path).
    std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& argv) const;
    // Runs a program of the session to its end (bounded); its output lines,
    // or nothing when it failed or did not end in time.
    std::optional<std::vector<std::string>> run(const std::vector<std::string>& argv,
                                                std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // Stops pipewire and wireplumber (the server goes away) ...
    void stopServer();
    // ... and starts them again; false when they do not come up.
    bool startServer();

private:
    TempDir root_;
    std::string runtimeDir_;
    std::vector<std::string> env_;
    std::unique_ptr<ChildProcess> bus_;
    std::unique_ptr<ChildProcess> pipewire_;
    std::unique_ptr<ChildProcess> wireplumber_;
    bool ok_ = false;
};

// The full path of a program on PATH, or empty.
std::string findProgram(const std::string& name);

}  // namespace tavin::test
