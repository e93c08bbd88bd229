// vcam: a daemon that plays the virtual camera driver and the virtual audio
// driver of camera indexes 0..3 for the engine, for tests and for trying the
// engine without the real drivers. `vcam --help` lists the options and the
// commands; docs/driver-interface.md describes what it implements.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "daemon.h"
#include "options.h"

int main(int argc, char** argv) {
    using namespace tavin::vcam;
    VcamOptions options;
    std::string error;
    bool help = false;
    if (!parseOptions(argc, argv, options, error, help)) {
        if (help) {
            std::fputs(usage(), stdout);
            return 0;
        }
        std::fprintf(stderr, "vcam: %s\n%s", error.c_str(), usage());
        return 2;
    }

    // Termination arrives through a signalfd read by the main loop, so that
    // nothing runs in a signal handler. The signals are blocked before any
    // thread starts, so every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
        std::fprintf(stderr, "vcam: cannot block signals\n");
        return 1;
    }
    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        std::fprintf(stderr, "vcam: signalfd: %s\n", std::strerror(errno));
        return 1;
    }
    // A closed stream reader shows as a failed write, not as a killed daemon.
    signal(SIGPIPE, SIG_IGN);
    av_log_set_level(AV_LOG_ERROR);

    int status = 0;
    {
        Daemon daemon(std::move(options));
        if (daemon.start(error)) {
            daemon.run(signalFd);
        } else {
            std::fprintf(stderr, "vcam: %s\n", error.c_str());
            status = 1;
        }
        daemon.shutdown();
    }
    ::close(signalFd);
    return status;
}
