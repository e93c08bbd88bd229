// Helpers for the tests of the camera output: the driver substitute
// tools/vcam as a child process, a control sink that records what it is
// given, a device directory of the test's own, and bounded waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "output/driver_control_sink.h"
#include "platform/named_objects.h"
#include "support/child_process.h"

namespace tavin::test {

// Bound of every wait in the output tests: they fail instead of hang.
inline constexpr int kOutputWaitMs = 10000;

// Polls `done` every 5 ms until it holds or `timeoutMs` passed.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = kOutputWaitMs);

// What the camera output passed on towards the phone: {2, flag} and
// {4, value}, as the Button messages would carry them.
class RecordingControls : public DriverControlSink {
public:
    struct Call {
        int code;
        std::int32_t value;
        bool operator==(const Call&) const = default;
    };
    void forwardControlValue(std::int32_t value) override { add({4, value}); }
    void forwardControlFlag(std::uint8_t flag) override { add({2, flag}); }

    std::vector<Call> calls() const;
    // Waits until at least `count` calls arrived.
    bool waitForCalls(std::size_t count, int timeoutMs = kOutputWaitMs) const;

private:
    void add(Call call);
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<Call> calls_;
};

// $TAVIN_DEVICE_DIR pointed at a directory of the test's own (not created:
// callers or vcam make it) for the lifetime of the object.
class ScopedDeviceDir {
public:
    ScopedDeviceDir();
    ~ScopedDeviceDir();
    const std::string& path() const { return path_; }
    // Writes "<name>.device" with the two lines the enumeration reads.
    void writeDevice(const std::string& name, const std::string& friendlyName, const std::string& devicePath);

private:
    TempDir root_;
    std::string path_;
    std::optional<std::string> previous_;
};

// The driver substitute, started with `--device-dir`, `--stats-interval 0`
// and `args`; ready() tells whether it printed its ready line.
class Vcam {
public:
    Vcam(const std::string& deviceDir, const std::vector<std::string>& args);
    ~Vcam();  // stops it (it removes its devices and named objects)

    bool ready() const { return ready_; }
    // Sends a command and waits until vcam reports a line containing
    // `echo` one more time than before (it prints after applying).
    bool command(const std::string& line, const std::string& echo);
    // Waits until at least `count` lines containing `text` were printed.
    bool waitForCount(const std::string& text, int count, int timeoutMs = kOutputWaitMs);
    int countLines(const std::string& text) { return process_.countLines(text); }
    std::vector<std::string> lines() { return process_.lines(); }

private:
    ChildProcess process_;
    bool ready_ = false;
};

// The camera driver's region of `index`, mapped by the test to look at and
// poke what the engine and the driver share. Null when there is none.
std::unique_ptr<platform::SharedRegion> mapRegion(int index);

// Decodes a PNG file (as vcam's snapshots are) into RGB24 rows, top-down.
bool decodePng(const std::vector<std::uint8_t>& file, int& width, int& height, std::vector<std::uint8_t>& rgb);

// The samples of a 48 kHz mono 16-bit WAV file whose sizes are filled in
// (as vcam writes them when it stops); nothing for any other file.
std::optional<std::vector<std::int16_t>> readWav(const std::string& path);
// The frequency of a tone from its rising zero crossings over `count`
// samples from `from`.
double toneHz(const std::vector<std::int16_t>& samples, std::size_t from, std::size_t count);

// Deletes a recorded error, so that the next failure is recorded.
void clearErrorRecord();

// Removes the mutex and event names the engine's outputs created.
void unlinkOutputObjects();

}  // namespace tavin::test
