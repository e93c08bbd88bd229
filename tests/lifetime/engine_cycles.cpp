// A host that loads the engine library, drives it through one short life
// and unloads it, again and again, and checks after every unload that the
// library left nothing behind in this process: no thread, no descriptor,
// no mapped file, no loaded shared object, no shared-memory object and no
// socket file that was not there before.
//
//   engine_cycles --lib PATH --cycles N --phone HOST:PORT [--timeout SECONDS]
//                 [--keep-last 1]
//
// One cycle: dlopen; EInitialize(4); callbacks for every slot; slot 0 made
// active (it feeds the preview); EOpen of the four slots, each reporting 0
// (the driver substitute must serve them); EAddPhoneAddress(phone); the
// preview is rendered while slot 0's worker chooses the phone and its first
// picture arrives (callback 2), and for a moment after; Destroy;
// EUninitialize of every slot (ascending in even cycles, descending in odd
// ones); dlclose.
//
// It links nothing of the engine: whatever it finds left is the library's.
// The first cycle may leave system libraries that cannot be unloaded once
// used (the C library keeps libgcc_s, which thread cancellation loads);
// they are reported, and from then on nothing may be added. Prints one line
// per cycle and "cycles: N done" at the end; exits with 1 at the first
// failed check.
//
// Under LeakSanitizer the leak check runs at exit. System libraries keep
// state in their globals that is lost when they are unloaded (D-Bus under
// the DNS-SD library), and the checker cannot name the functions of a
// library that is gone, so it could neither tell that apart nor suppress
// it. There the host keeps the engine's dependencies and the DNS-SD library
// loaded for its whole run, as a host using them itself would, while the
// engine's library is unloaded every cycle: a block of the engine's that
// nothing refers to any more is reported, and no suppression can match it.
// "--keep-last 1" leaves the engine's library loaded after the last cycle
// (its checks are skipped) when a report's stacks need names.
#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "support/loaded_engine.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kNoStatus = -100;
std::atomic<int> g_openStatus[4];
std::atomic<int> g_frameSizes{0};  // callback 2 of slot 0

void onStatus(int32_t index, int32_t code) {
    // A slot's first status is EOpen's result; phone states follow.
    int expected = kNoStatus;
    if (index >= 0 && index < 4) g_openStatus[index].compare_exchange_strong(expected, code);
}
void onFrameSize(int32_t index, int32_t, int32_t) {
    if (index == 0) g_frameSizes.fetch_add(1);
}
int32_t onFormats(int32_t, const char*) { return 0; }

// ---- What the process holds ---------------------------------------------------

std::set<std::string> listDirectory(const std::string& path) {
    std::set<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* e = readdir(dir)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
        }
        closedir(dir);
    }
    return names;
}

// Descriptors as "fd -> target"; the one listing them is left out.
std::set<std::string> descriptors() {
    std::set<std::string> out;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return out;
    const int own = dirfd(dir);
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.' || std::atoi(e->d_name) == own) continue;
        char target[512] = {};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        out.insert(std::string(e->d_name) + " -> " + (n > 0 ? std::string(target, static_cast<size_t>(n)) : "?"));
    }
    closedir(dir);
    return out;
}

struct Mappings {
    std::set<std::string> files;
    std::size_t anonymous = 0;
};

Mappings mappings() {
    Mappings m;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range, perms, offset, device, inode, path;
        fields >> range >> perms >> offset >> device >> inode;
        std::getline(fields >> std::ws, path);
        if (path.empty())
            ++m.anonymous;
        else if (path[0] == '/')
            m.files.insert(path);
    }
    return m;
}

std::set<std::string> loadedObjects() {
    std::set<std::string> out;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            if (info->dlpi_name && info->dlpi_name[0]) static_cast<std::set<std::string>*>(data)->insert(info->dlpi_name);
            return 0;
        },
        &out);
    return out;
}

// Paths of the bound Unix-domain sockets of this network namespace.
std::set<std::string> socketFiles() {
    std::set<std::string> out;
    std::ifstream unix("/proc/net/unix");
    std::string line;
    std::getline(unix, line);  // header
    while (std::getline(unix, line)) {
        std::istringstream fields(line);
        std::string f[7], path;
        for (std::string& s : f) fields >> s;
        if (fields >> path && path[0] == '/') out.insert(path);
    }
    return out;
}

int threadCount() { return static_cast<int>(listDirectory("/proc/self/task").size()); }

// Heap bytes in use (the allocator's own count, over every arena).
long heapInUseKb() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

long residentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

struct Snapshot {
    int threads = 0;
    std::set<std::string> fds;
    Mappings maps;
    std::set<std::string> objects;
    std::set<std::string> shm;
    std::set<std::string> sockets;

    static Snapshot take() {
        return {threadCount(), descriptors(), mappings(), loadedObjects(), listDirectory("/dev/shm"), socketFiles()};
    }
};

// Entries of `now` that are in none of `allowed`.
std::vector<std::string> added(const std::set<std::string>& now, std::initializer_list<const std::set<std::string>*> allowed) {
    std::vector<std::string> out;
    for (const std::string& s : now) {
        if (std::none_of(allowed.begin(), allowed.end(), [&](const std::set<std::string>* a) { return a->count(s) > 0; }))
            out.push_back(s);
    }
    return out;
}

bool report(const char* what, const std::vector<std::string>& extra) {
    for (const std::string& e : extra) std::printf("cycles: left behind (%s): %s\n", what, e.c_str());
    return extra.empty();
}

// ---- One life of the library --------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kLeakChecked = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kLeakChecked = true;
#else
constexpr bool kLeakChecked = false;
#endif
#else
constexpr bool kLeakChecked = false;
#endif

// Loads the library once, without driving it, and takes a reference to
// every object it brought in and to the DNS-SD library; returns how many.
int keepDependenciesLoaded(const std::string& path) {
    const std::set<std::string> before = loadedObjects();
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) return -1;
    int kept = 0;
    for (const std::string& name : loadedObjects()) {
        if (before.count(name) || name.find("libengine") != std::string::npos) continue;
        kept += dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD) != nullptr;
    }
    dlclose(lib);
    kept += dlopen("libdns_sd.so.1", RTLD_NOW | RTLD_LOCAL) != nullptr;
    return kept;
}

enum class Unload { Yes, No };

// Where a cycle's time went: loading and opening the slots, waiting for the
// first picture, streaming, and uninitialising and unloading.
struct Phases {
    double open = 0, firstPicture = 0, streaming = 0, close = 0;
};

double secondsSince(Clock::time_point& mark) {
    const auto now = Clock::now();
    const double s = std::chrono::duration<double>(now - mark).count();
    mark = now;
    return s;
}

bool cycle(const std::string& path, const std::string& phone, int number, double timeout, Unload unload,
           Phases& phases) {
    auto mark = Clock::now();
    tavin::test::LoadedEngine engine;
    if (!engine.load(path)) return false;

    g_frameSizes.store(0);
    for (auto& s : g_openStatus) s.store(kNoStatus);
    bool ok = true;
    const std::array<int32_t, 4> opened = engine.openFourSlots(onStatus, onFrameSize, nullptr, onFormats);
    for (int i = 0; i < 4; ++i) {
        if (opened[i] != i || g_openStatus[i].load() != 0) {
            std::printf("cycles: cycle %d: EOpen gave %d with status %d\n", number, opened[i], g_openStatus[i].load());
            ok = false;
        }
    }
    if (ok && engine.eAddPhoneAddress(phone.c_str()) != 0) {
        std::printf("cycles: cycle %d: the phone's address was refused\n", number);
        ok = false;
    }
    phases.open = secondsSince(mark);

    // The host's window: a surface rendered about every 20 ms.
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeout);
    auto streamingSince = Clock::time_point::max();
    while (ok && Clock::now() < deadline) {
        EnginePreviewSurface* surface = nullptr;
        engine.getBackBuffer(&surface);
        if (surface) engine.render();
        if (g_frameSizes.load() > 0 && streamingSince == Clock::time_point::max()) {
            streamingSince = Clock::now();
            phases.firstPicture = secondsSince(mark);
        }
        if (Clock::now() - streamingSince > std::chrono::milliseconds(300)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (ok && g_frameSizes.load() == 0) {
        std::printf("cycles: cycle %d: no picture within %.0f s\n", number, timeout);
        ok = false;
    }

    phases.streaming = secondsSince(mark);
    engine.destroy();
    for (int k = 0; k < 4; ++k) engine.eUninitialize(static_cast<uint32_t>(number % 2 == 0 ? k : 3 - k));
    if (unload == Unload::Yes) engine.unload();
    phases.close = secondsSince(mark);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::string lib, phone;
    int cycles = 100;
    double timeout = 30.0;
    bool keepLast = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--lib") lib = argv[i + 1];
        else if (option == "--cycles") cycles = std::atoi(argv[i + 1]);
        else if (option == "--phone") phone = argv[i + 1];
        else if (option == "--timeout") timeout = std::atof(argv[i + 1]);
        else if (option == "--keep-last") keepLast = std::atoi(argv[i + 1]) != 0;
    }
    if (lib.empty() || phone.empty() || cycles < 1) {
        std::fprintf(stderr, "usage: engine_cycles --lib PATH --cycles N --phone HOST:PORT [--timeout SECONDS]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    if (kLeakChecked) {
        std::printf("cycles: %d system libraries kept loaded for the leak checker\n", keepDependenciesLoaded(lib));
    }
    // A thread started and joined first, so that what a runtime starts with
    // a process's first thread (ThreadSanitizer's background thread) counts
    // as there before.
    std::thread([] {}).join();
    const Snapshot before = Snapshot::take();
    Snapshot firstCycle;
    std::vector<double> seconds;
    long residentFirst = 0;
    for (int n = 0; n < cycles; ++n) {
        const auto start = Clock::now();
        const bool last = n + 1 == cycles;
        Phases phases;
        if (!cycle(lib, phone, n, timeout, last && keepLast ? Unload::No : Unload::Yes, phases)) return 1;
        seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        if (last && keepLast) break;

        // Nothing of the library may remain.
        if (void* still = dlopen(lib.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
            dlclose(still);
            std::printf("cycles: cycle %d: the library is still loaded after dlclose\n", n);
            return 1;
        }
        const Snapshot now = Snapshot::take();
        if (n == 0) {
            firstCycle = now;
            residentFirst = residentKb();
            for (const std::string& o : added(now.objects, {&before.objects}))
                std::printf("cycles: kept loaded by the system after the first cycle: %s\n", o.c_str());
        }
        bool clean = now.threads == before.threads;
        if (!clean) std::printf("cycles: cycle %d: %d threads, %d before\n", n, now.threads, before.threads);
        clean &= report("descriptor", added(now.fds, {&before.fds}));
        clean &= report("descriptor closed", added(before.fds, {&now.fds}));
        clean &= report("mapped file", added(now.maps.files, {&before.maps.files, &firstCycle.maps.files}));
        clean &= report("shared object", added(now.objects, {&before.objects, &firstCycle.objects}));
        clean &= report("shared-memory object", added(now.shm, {&before.shm}));
        clean &= report("socket file", added(now.sockets, {&before.sockets}));
        for (const std::string& f : now.maps.files) {
            if (f.find("libengine") != std::string::npos || f.find("/dev/shm/") == 0) {
                std::printf("cycles: cycle %d: still mapped: %s\n", n, f.c_str());
                clean = false;
            }
        }
        std::printf("cycles: cycle %d %.2f s (open %.2f, first picture %.2f, streaming %.2f, close %.2f), %d threads, "
                    "%zu descriptors, %zu anonymous mappings, %ld kB heap in use, %ld kB resident\n",
                    n, seconds.back(), phases.open, phases.firstPicture, phases.streaming, phases.close, now.threads,
                    now.fds.size(), now.maps.anonymous, heapInUseKb(), residentKb());
        if (!clean) return 1;
    }
    std::vector<double> sorted = seconds;
    std::sort(sorted.begin(), sorted.end());
    // Resident memory grows over the cycles while the heap in use does not:
    // the free pages malloc's arenas keep. Given back, the rest is what is
    // really held.
    const long residentLast = residentKb();
    malloc_trim(0);
    std::printf("cycles: %d done, median %.2f s per cycle, resident %ld kB after the first, %ld kB after the last, "
                "%ld kB once malloc gave its free pages back\n",
                cycles, sorted[sorted.size() / 2], residentFirst, residentLast, residentKb());
    return 0;
}
