#include "support/pipewire_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/clock.h"

namespace tavin::test {
namespace {

constexpr double kStartSeconds = 20.0;

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

void writeText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

}  // namespace

std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

std::string PipewireSession::unavailableReason() {
    for (const char* program : {"dbus-daemon", "pipewire", "wireplumber", "pw-cli", "pw-record", "gst-launch-1.0"})
        if (findProgram(program).empty()) return std::string(program) + " is not installed";
    return "";
}

PipewireSession::PipewireSession() {
    if (!unavailableReason().empty()) return;
    runtimeDir_ = root_.path() + "/run";
    const std::string config = root_.path() + "/config";
    ::mkdir(runtimeDir_.c_str(), 0700);
    ::mkdir(config.c_str(), 0755);
    ::mkdir((config + "/wireplumber").c_str(), 0755);
    ::mkdir((config + "/wireplumber/main.lua.d").c_str(), 0755);
    ::mkdir((config + "/wireplumber/bluetooth.lua.d").c_str(), 0755);
    // No device of the machine enters the session.
    writeText(config + "/wireplumber/main.lua.d/90-test-session.lua",
              "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n");
    writeText(config + "/wireplumber/bluetooth.lua.d/90-test-session.lua", "bluez_monitor.enabled = false\n");
    // A bus that activates no service.
    const std::string busConfig = root_.path() + "/bus.conf";
    writeText(busConfig, "<busconfig><type>session</type><listen>unix:path=" + runtimeDir_ +
                             "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                             "<allow own=\"*\"/></policy></busconfig>\n");
    env_ = {"XDG_RUNTIME_DIR=" + runtimeDir_,
            "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtimeDir_ + "/bus",
            "HOME=" + root_.path(),
            "XDG_CONFIG_HOME=" + config,
            "XDG_STATE_HOME=" + root_.path() + "/state",
            "XDG_DATA_HOME=" + root_.path() + "/data",
            "GST_REGISTRY=" + root_.path() + "/gst-registry.bin"};
    bus_ = spawn({"dbus-daemon", "--config-file=" + busConfig, "--nofork", "--nopidfile"});
    const double end = platform::processClock() + kStartSeconds;
    while (!exists(runtimeDir_ + "/bus") && platform::processClock() < end) usleep(20'000);
    ok_ = exists(runtimeDir_ + "/bus") && startServer();
}

PipewireSession::~PipewireSession() {
    stopServer();
    bus_.reset();
}

std::unique_ptr<ChildProcess> PipewireSession::spawn(const std::vector<std::string>& argv) const {
    std::vector<std::string> args = argv;
    args[0] = findProgram(args[0]);
    return std::make_unique<ChildProcess>(args, env_);
}

std::optional<std::vector<std::string>> PipewireSession::run(const std::vector<std::string>& argv,
                                                             std::chrono::milliseconds timeout) const {
    std::unique_ptr<ChildProcess> child = spawn(argv);
    const std::optional<int> status = child->wait(timeout);
    if (!status || *status != 0) return std::nullopt;
    return child->lines();
}

void PipewireSession::stopServer() {
    wireplumber_.reset();
    pipewire_.reset();
}

bool PipewireSession::startServer() {
    pipewire_ = spawn({"pipewire"});
    const double end = platform::processClock() + kStartSeconds;
    while (!exists(runtimeDir_ + "/pipewire-0") && platform::processClock() < end) usleep(20'000);
    wireplumber_ = spawn({"wireplumber"});
    // Wireplumber serves the session once it published the default metadata.
    while (platform::processClock() < end) {
        if (auto out = run({"pw-cli", "ls", "Metadata"}, std::chrono::seconds(5)))
            for (const std::string& line : *out)
                if (line.find("metadata.name = \"default\"") != std::string::npos) return true;
        usleep(100'000);
    }
    return false;
}

}  // namespace tavin::test
