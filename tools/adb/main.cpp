// adb: a stand-in for the Android Debug Bridge, for tests and the main job.
// Put first on PATH, it answers the three command lines the engine runs:
//
//   adb devices                                  prints the given device list
//   adb -s SERIAL forward tcp:LOCAL tcp:DEVICE   forwards 127.0.0.1:LOCAL
//   adb kill-server                              ends every forward
//
// Everything it is given and records lives in the state folder named by
// $TAVIN_ADB_DIR (state_folder.h); the forwards are kept by a server of
// its own that outlives the command (forward_server.h). Exit code 0 on
// success, 1 when the command fails or is unknown.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "forward_server.h"
#include "state_folder.h"

namespace {

using namespace tavin::adbstandin;

constexpr const char* kNoDevices = "List of devices attached\n\n";

// The descriptors open in this process, e.g. "0 1 2".
std::string openDescriptors() {
    std::string out;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return out;
    const int own = dirfd(dir);
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.' || std::atoi(e->d_name) == own) continue;
        out += (out.empty() ? "" : " ") + std::string(e->d_name);
    }
    closedir(dir);
    return out;
}

void record(const std::string& folder, const std::vector<std::string>& arguments) {
    std::string line;
    for (std::size_t i = 0; i < arguments.size(); ++i) line += (i ? "\t" : "") + escapeField(arguments[i]);
    appendLine(statePath(folder, "commands"), line);
    const std::string fdsPath = statePath(folder, "fds");
    unlink(fdsPath.c_str());
    appendLine(fdsPath, openDescriptors());
}

int devices(const std::string& folder) {
    const std::optional<std::string> list = readStateFile(statePath(folder, "devices"));
    const std::string text = list ? *list : kNoDevices;
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

int forward(const std::string& folder, const std::vector<std::string>& arguments) {
    // -s SERIAL forward tcp:LOCAL tcp:DEVICE
    const std::optional<std::uint16_t> local = parseTcpSpec(arguments[3]);
    const std::optional<std::uint16_t> device = parseTcpSpec(arguments[4]);
    if (!local || !device) {
        std::fprintf(stderr, "adb: error: cannot parse forward argument\n");
        return 1;
    }
    std::string error;
    if (!requestForward(folder, arguments[1], *local, *device, error)) {
        std::fprintf(stderr, "adb: error: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const std::optional<std::string> folder = stateFolder();
    if (!folder) {
        std::fprintf(stderr, "adb: %s is not set (this is a stand-in for tests)\n", kStateFolderVariable);
        return 1;
    }
    record(*folder, arguments);

    int status = 1;
    if (arguments.size() == 1 && arguments[0] == "devices") {
        status = devices(*folder);
    } else if (arguments.size() == 5 && arguments[0] == "-s" && arguments[2] == "forward") {
        status = forward(*folder, arguments);
    } else if (arguments.size() == 1 && arguments[0] == "kill-server") {
        stopServer(*folder);
        status = 0;
    } else {
        std::fprintf(stderr, "adb: unknown command\n");
    }
    std::fflush(stdout);

    if (access(statePath(*folder, "hang").c_str(), F_OK) == 0) {
        // A hung adb: its output stays open and it never ends by itself.
        for (;;) pause();
    }
    return status;
}
