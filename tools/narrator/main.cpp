// narrator: tells the progress of the main job in a person's words on
// standard output, from the log files its tools write (see narrator.h).
//
//   narrator --follow host=FILE --follow vcam=FILE [--follow phone:NAME=FILE]...
//            [--error-record FILE]
//
// It reads the files as they grow, ten times a second, until SIGTERM or
// SIGHUP, or until the process that started it is gone; then it reads them
// once more and prints the summary, with the engine's stored error record
// from FILE (the registry value file: its type line, then the text). SIGINT
// is ignored: on Ctrl-C the job stops its tools first and then asks for the
// summary.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "log_follower.h"
#include "narrator.h"
#include "platform/clock.h"

namespace {

using tavin::narrator::LogFollower;
using tavin::narrator::Narrator;

constexpr int kPassMs = 100;
// The longest error record text read back (the engine stores at most 254
// characters).
constexpr std::size_t kMaxRecord = 1024;

const char* kUsage =
    "usage: narrator --follow host=FILE --follow vcam=FILE [--follow phone:NAME=FILE]...\n"
    "                [--error-record FILE]\n";

enum class Source { Host, Vcam, Phone };

struct Followed {
    Source source;
    std::string phone;  // the name of a phone source
    std::unique_ptr<LogFollower> follower;
};

bool parseFollow(const std::string& text, Followed& out) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos || eq + 1 == text.size()) return false;
    const std::string what = text.substr(0, eq);
    if (what == "host") {
        out.source = Source::Host;
    } else if (what == "vcam") {
        out.source = Source::Vcam;
    } else if (what.rfind("phone:", 0) == 0 && what.size() > 6) {
        out.source = Source::Phone;
        out.phone = what.substr(6);
    } else {
        return false;
    }
    out.follower = std::make_unique<LogFollower>(text.substr(eq + 1));
    return true;
}

// The text of the stored record: what follows the type line; "" when there
// is none.
std::string storedRecord(const std::string& path) {
    if (path.empty()) return "";
    std::ifstream in(path, std::ios::binary);
    std::string content(kMaxRecord, '\0');
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    content.resize(static_cast<std::size_t>(in.gcount()));
    const std::size_t newline = content.find('\n');
    if (newline == std::string::npos) return "";
    std::string text = content.substr(newline + 1);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return text;
}

void readAll(std::vector<Followed>& followed, Narrator& narrator, double now) {
    std::vector<std::string> lines;
    for (Followed& f : followed) {
        lines.clear();
        f.follower->read(lines);
        for (const std::string& line : lines) {
            switch (f.source) {
                case Source::Host: narrator.hostLine(line, now); break;
                case Source::Vcam: narrator.vcamLine(line, now); break;
                case Source::Phone: narrator.phoneLine(f.phone, line, now); break;
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Followed> followed;
    std::string recordPath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "narrator: %s needs a value\n%s", arg.c_str(), kUsage);
            return 2;
        }
        const std::string value = argv[++i];
        Followed f;
        if (arg == "--follow" && parseFollow(value, f)) {
            followed.push_back(std::move(f));
        } else if (arg == "--error-record") {
            recordPath = value;
        } else {
            std::fprintf(stderr, "narrator: bad option %s %s\n%s", arg.c_str(), value.c_str(), kUsage);
            return 2;
        }
    }

    // The phones' files are read first: a phone logs the format the engine
    // asked for before the host can tell that the stream started, so that
    // the codec and the rate are known when the host's line is told.
    std::stable_partition(followed.begin(), followed.end(),
                          [](const Followed& f) { return f.source == Source::Phone; });

    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    signal(SIGINT, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0) return 1;
    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        std::fprintf(stderr, "narrator: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    tavin::platform::processClock();  // the job's time counts from here
    Narrator narrator([](const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    });
    for (;;) {
        readAll(followed, narrator, tavin::platform::processClock());
        narrator.settle(tavin::platform::processClock());
        pollfd p{signalFd, POLLIN, 0};
        const int ready = ::poll(&p, 1, kPassMs);
        if ((ready > 0 && (p.revents & POLLIN)) || getppid() != parent) break;
    }
    const double end = tavin::platform::processClock();
    readAll(followed, narrator, end);
    narrator.summarize(end, storedRecord(recordPath));
    ::close(signalFd);
    return 0;
}
