// usbmuxd-peer: plays the usbmuxd service on a Unix socket for simulated
// phones, so that the engine runs the real libusbmuxd against it (through
// USBMUXD_SOCKET_ADDRESS=UNIX:<path>).
//
//   usbmuxd-peer --socket PATH
//
// Prints "usbmuxd-peer: listening PATH" on stdout once the socket listens,
// then takes commands on standard input (see peer_commands.h) and answers
// each attach, detach and list on stdout; client events are logged on
// standard error. Exits with 0 on SIGINT, SIGTERM or "quit"; 2 for a bad
// command line; 1 when the socket cannot be made.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "peer_service.h"

namespace {

const char* kUsage =
    "usage: usbmuxd-peer --socket PATH\n"
    "commands on standard input:\n"
    "  attach <handle> <usb|network> <device-port>=<address>:<port>...\n"
    "  detach <handle> | list | quit\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace tavin::usbmuxpeer;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--socket" && i + 1 < argc) {
            path = argv[++i];
        } else if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "usbmuxd-peer: bad argument '%s'\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    if (path.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    // SIGINT and SIGTERM end the service through a descriptor it polls;
    // SIGPIPE is held back, so that a closed reader is an error, not death.
    // Threads started later inherit the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    sigdelset(&signals, SIGPIPE);
    const int stopFd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);

    PeerService service(path);
    std::string error;
    if (!service.listen(error)) {
        log("cannot listen: %s", error.c_str());
        return 1;
    }
    say("listening %s", path.c_str());
    service.run(STDIN_FILENO, stopFd);
    service.stop();
    log("exit");
    return 0;
}
