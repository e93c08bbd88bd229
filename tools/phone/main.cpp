// phone: a simulated phone camera app for tests and development.
//
// Prints "phone: listening <addr> <session-port> <probe-port>" on stdout
// once both ports listen (probe port 0 when there is none), logs every
// received message to stderr, and exits with 0 on SIGINT, SIGTERM, "quit",
// or after the first session with --once. Exit code 2: bad command line;
// 1: the ports or the control channel cannot be opened.
#include <signal.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "advertising.h"
#include "control_input.h"
#include "phone_app.h"
#include "phone_log.h"
#include "phone_options.h"
#include "platform/clock.h"

namespace {

volatile std::sig_atomic_t gStopSignal = 0;

void onStopSignal(int) { gStopSignal = 1; }

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tavin::phonesim;

    std::string error;
    bool helpWanted = false;
    std::optional<PhoneOptions> options = parsePhoneOptions(argc, argv, error, helpWanted);
    if (!options) {
        if (helpWanted) {
            std::fputs(phoneUsage(), stdout);
            return 0;
        }
        std::fprintf(stderr, "phone: %s\n%s", error.c_str(), phoneUsage());
        return 2;
    }

    installSignalHandlers();
    setMessageLogEnabled(options->log);
    av_log_set_level(AV_LOG_ERROR);
    tavin::platform::processClock();  // picture and sound tags count from here

    PhoneApp app(*options);
    if (!app.listen(error)) {
        logLine("cannot listen: %s", error.c_str());
        return 1;
    }

    AdvertisedPhone advertised{options->id, options->kind, options->name, options->bindAddress,
                               app.sessionPort(), app.probePort()};
    std::vector<std::unique_ptr<Advertiser>> advertisers;
    if (!makeAdvertisers(options->announce, advertised, advertisers, error)) {
        logLine("%s", error.c_str());
        return 2;
    }
    for (auto& advertiser : advertisers) {
        if (!advertiser->start()) {
            logLine("an announcement cannot start");
            for (auto& started : advertisers) started->stop();
            return 1;
        }
    }
    app.setRenameListener([&advertisers](const std::string& name) {
        for (auto& advertiser : advertisers) advertiser->renamed(name);
    });

    ControlInput control([&app](const std::string& line) { app.command(line); });
    if (options->controlPath && !control.start(*options->controlPath, error)) {
        logLine("cannot open the control channel: %s", error.c_str());
        for (auto& advertiser : advertisers) advertiser->stop();
        return 1;
    }

    std::printf("phone: listening %s %u %u\n", options->bindAddress.c_str(), app.sessionPort(), app.probePort());
    std::fflush(stdout);

    app.run([] { return gStopSignal != 0; });

    control.stop();
    app.setRenameListener(nullptr);
    for (auto& advertiser : advertisers) advertiser->stop();
    logLine("exit");
    return 0;
}
