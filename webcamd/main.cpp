// tavin-webcamd: the camera daemon. It plays the virtual camera and audio
// drivers the engine writes to and publishes what the engine writes as
// PipeWire nodes (or on v4l2loopback devices) that any program can open.
// `tavin-webcamd --help` lists the options; docs/linux-camera.md describes it.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <pipewire/pipewire.h>

#include "webcamd.h"
#include "webcamd_options.h"

int main(int argc, char** argv) {
    using namespace tavin::webcamd;
    WebcamdOptions options;
    std::string error;
    bool help = false;
    if (!parseWebcamdOptions(argc, argv, options, error, help)) {
        if (help) {
            std::fputs(webcamdUsage(), stdout);
            return 0;
        }
        std::fprintf(stderr, "tavin-webcamd: %s\n%s", error.c_str(), webcamdUsage());
        return 2;
    }

    // Termination arrives through a signalfd read by the main loop. The
    // signals are blocked before any thread starts, so every thread
    // inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
        std::fprintf(stderr, "tavin-webcamd: cannot block signals\n");
        return 1;
    }
    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        std::fprintf(stderr, "tavin-webcamd: signalfd: %s\n", std::strerror(errno));
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    pw_init(nullptr, nullptr);

    int status = 0;
    {
        Webcamd daemon(std::move(options));
        if (daemon.start(error)) {
            daemon.run(signalFd);
        } else {
            std::fprintf(stderr, "tavin-webcamd: %s\n", error.c_str());
            status = 1;
        }
        daemon.shutdown();
    }
    pw_deinit();
    ::close(signalFd);
    return status;
}
