// The host of the soak run: loads the engine library, opens the four slots,
// and keeps them running for a long time while it switches phones between
// slots, reporting what the process holds as it goes.
//
//   soak_host --lib PATH --seconds S [--switch-at T1,T2,...] [--smaps-at T1,T2,... --smaps-dir DIR]
//
// At each switch time (seconds from the start) slot 0 takes the phone slot
// 1 streams from, by its key (ESelectPhone); slot 1 then chooses the phone
// slot 0 let go. Slot 0 is active: its pictures fill the preview, which is
// rendered about ten times a second as a host window would. Every 10 s, and
// at the end, one line: resident memory (and its anonymous, shared-memory
// and file parts), heap in use, threads, descriptors,
// each slot's last phone state and phone key, and every first-error record
// seen so far (the record is read every second; the engine deletes it once
// it went to a phone). At each --smaps-at time a copy of /proc/self/smaps
// goes to DIR/smaps-T.txt. At the end every slot is uninitialised and the
// library unloaded, and the last line tells what is left.
#include <dirent.h>
#include <dlfcn.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "support/loaded_engine.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_stop{false};
const Clock::time_point g_start = Clock::now();
std::atomic<int> g_state[4];
std::mutex g_keysLock;
std::string g_currentKey[4];  // the phone each slot streams from, as the list last said

double sinceStart() { return std::chrono::duration<double>(Clock::now() - g_start).count(); }

void onStatus(int32_t index, int32_t code) {
    if (index < 0 || index >= 4) return;
    if (g_state[index].exchange(code) != code) std::printf("soak: t=%.1f slot %d state %d\n", sinceStart(), index, code);
}
void onPhone(int32_t index, int32_t, const char* key, const char*, int32_t current) {
    if (index < 0 || index >= 4 || !current || !key) return;
    std::lock_guard<std::mutex> guard(g_keysLock);
    if (g_currentKey[index] != key) std::printf("soak: t=%.1f slot %d streams from phone %s\n", sinceStart(), index, key);
    g_currentKey[index] = key;
}
int32_t onFormats(int32_t, const char*) { return 0; }

int countEntries(const char* path) {
    int n = 0;
    if (DIR* dir = opendir(path)) {
        while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

long statusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    }
    return -1;
}

long heapInUseKb() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

// The first-error record as the engine stores it (registry value "erd").
std::string errorRecord() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const std::string path = std::string(config ? config : "") + "/Tavin/webcam/erd";
    std::ifstream file(path);
    std::string type, value;
    if (!std::getline(file, type)) return {};
    std::getline(file, value);
    return value;
}

std::vector<double> parseTimes(const std::string& text) {
    std::vector<double> out;
    std::istringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        if (!item.empty()) out.push_back(std::atof(item.c_str()));
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    std::string lib;
    double seconds = 600;
    std::vector<double> switches, smapsTimes;
    std::string smapsDir = ".";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--lib") lib = argv[i + 1];
        else if (option == "--seconds") seconds = std::atof(argv[i + 1]);
        else if (option == "--switch-at") switches = parseTimes(argv[i + 1]);
        else if (option == "--smaps-at") smapsTimes = parseTimes(argv[i + 1]);
        else if (option == "--smaps-dir") smapsDir = argv[i + 1];
    }
    if (lib.empty() || seconds <= 0) {
        std::fprintf(stderr, "usage: soak_host --lib PATH --seconds S [--switch-at T1,T2,...]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    struct sigaction sa {};
    sa.sa_handler = [](int) { g_stop.store(true); };
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const int threadsBefore = countEntries("/proc/self/task");
    const int fdsBefore = countEntries("/proc/self/fd");
    tavin::test::LoadedEngine engine;
    if (!engine.load(lib)) return 2;
    for (auto& s : g_state) s.store(-1);
    const std::array<int32_t, 4> opened = engine.openFourSlots(onStatus, nullptr, onPhone, onFormats);
    for (int i = 0; i < 4; ++i) std::printf("soak: EOpen -> %d, status %d\n", opened[i], g_state[i].load());

    std::set<std::string> errors;
    auto line = [&](double t, const char* what) {
        std::string keys;
        {
            std::lock_guard<std::mutex> guard(g_keysLock);
            for (int i = 0; i < 4; ++i) keys += (i ? "," : "") + (g_currentKey[i].empty() ? "-" : g_currentKey[i]);
        }
        std::string recorded;
        for (const std::string& e : errors) recorded += (recorded.empty() ? "" : " ") + e;
        std::printf("soak: %s t=%.0f rss=%ld kB heap=%ld kB threads=%d fds=%d anon=%ld kB shmem=%ld kB file=%ld kB "
                    "states=%d,%d,%d,%d phones=%s errors=[%s]\n",
                    what, t, statusKb("VmRSS:"), heapInUseKb(), countEntries("/proc/self/task"),
                    countEntries("/proc/self/fd"), statusKb("RssAnon:"), statusKb("RssShmem:"), statusKb("RssFile:"),
                    g_state[0].load(), g_state[1].load(), g_state[2].load(),
                    g_state[3].load(), keys.c_str(), recorded.c_str());
    };

    const auto start = g_start;
    std::size_t nextSwitch = 0, nextSmaps = 0;
    double nextLine = 0, nextRecordCheck = 0;
    EnginePreviewSurface* surface = nullptr;
    while (!g_stop.load()) {
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        if (t >= seconds) break;
        engine.getBackBuffer(&surface);
        if (surface) engine.render();
        if (nextSwitch < switches.size() && t >= switches[nextSwitch]) {
            ++nextSwitch;
            std::string key;
            {
                std::lock_guard<std::mutex> guard(g_keysLock);
                key = g_currentKey[1];
            }
            if (!key.empty()) {
                std::printf("soak: t=%.0f slot 0 takes phone %s from slot 1\n", t, key.c_str());
                engine.eSelectPhone(0, key.c_str());
            } else {
                std::printf("soak: t=%.0f no switch: slot 1 streams from no phone\n", t);
            }
        }
        if (t >= nextRecordCheck) {
            nextRecordCheck = t + 1;
            const std::string record = errorRecord();
            if (!record.empty() && errors.insert(record).second)
                std::printf("soak: t=%.0f error recorded: %s\n", t, record.c_str());
        }
        if (nextSmaps < smapsTimes.size() && t >= smapsTimes[nextSmaps]) {
            // What each mapping holds resident, to compare two times.
            std::ifstream in("/proc/self/smaps");
            std::ofstream(smapsDir + "/smaps-" + std::to_string(static_cast<int>(smapsTimes[nextSmaps++])) + ".txt")
                << in.rdbuf();
        }
        if (t >= nextLine) {
            nextLine = t + 10;
            line(t, "stats");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    line(std::chrono::duration<double>(Clock::now() - start).count(), "end");

    engine.destroy();
    for (uint32_t i = 0; i < 4; ++i) engine.eUninitialize(i);
    engine.unload();
    const bool unloaded = dlopen(lib.c_str(), RTLD_NOW | RTLD_NOLOAD) == nullptr;
    std::printf("soak: unloaded=%s threads=%d (%d before) fds=%d (%d before) rss=%ld kB heap=%ld kB\n",
                unloaded ? "yes" : "no", countEntries("/proc/self/task"), threadsBefore,
                countEntries("/proc/self/fd"), fdsBefore, statusKb("VmRSS:"), heapInUseKb());
    return 0;
}
