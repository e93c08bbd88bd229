#include "webcamd.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "driver/file_ops.h"
#include "platform/clock.h"

namespace tavin::webcamd {
namespace {

// The region poller's pass (the engine's picture is taken within 3 ms), and
// passes between two readings of the engine's format list (about 25 ms).
constexpr int kPassMs = 3;
constexpr int kFormatListEvery = 8;

}  // namespace

Webcamd::Webcamd(WebcamdOptions options)
    : options_(std::move(options)), console_("tavin-webcamd", false), files_(options_.deviceDir),
      pipewire_(console_) {}

Webcamd::~Webcamd() { shutdown(); }

bool Webcamd::start(std::string& error) {
    if (!driverside::makeDirectories(options_.deviceDir, error) ||
        !driverside::makeDirectories(options_.socketDir, error))
        return false;
    if (!pipewire_.start(error)) return false;
    for (int index : options_.cameras)
        if (!startIndex(index, error)) return false;
    console_.ready();
    return true;
}

bool Webcamd::startIndex(int index, std::string& error) {
    Index& slot = indexes_[static_cast<std::size_t>(index)];
    driverside::CameraSettings settings;  // the region transport
    driverside::CameraListener* listener;
    if (const V4l2Target* target = options_.v4l2Of(index)) {
        slot.v4l2 = std::make_unique<V4l2Output>(index, target->device, console_);
        if (!slot.v4l2->open(error)) return false;
        // Nobody can tell who reads a loopback device: always watched, in
        // the one format it was given.
        settings.consumer = true;
        settings.format = options_.v4l2Format;
        listener = slot.v4l2.get();
    } else {
        slot.video = std::make_unique<VideoNode>(index, pipewire_, console_);
        settings.formatList = true;  // the node offers the size the user picked
        listener = slot.video.get();
    }
    slot.camera = std::make_unique<driverside::VirtualCamera>(index, settings, console_, *listener);
    if (!slot.camera->create(error)) return false;
    if (slot.video) slot.video->bind(*slot.camera);

    slot.endpoints = std::make_unique<driverside::DeviceEndpoints>(
        index, driverside::EndpointNames{options_.socketDir, "tavin"}, files_);
    if (!slot.endpoints->serveCamera(*slot.camera, true, error)) return false;
    slot.sound = std::make_unique<AudioNode>(index, pipewire_, console_);
    slot.audio = std::make_unique<driverside::AudioDevice>(index, driverside::AudioSettings{}, console_, *slot.sound);
    return slot.endpoints->serveAudio(*slot.audio, error);
}

void Webcamd::maintainPipewire() {
    if (pipewire_.lost()) {
        // Streams of the dead connection go first, then the connection.
        for (Index& slot : indexes_) {
            if (slot.video) slot.video->dropStream();
            if (slot.sound) slot.sound->dropStream();
        }
        pipewire_.disconnect();
    }
    pipewire_.maintain();
    for (Index& slot : indexes_) {
        if (slot.video) slot.video->maintain();
        if (slot.sound) slot.sound->maintain();
    }
}

void Webcamd::run(int signalFd) {
    double lastStats = platform::processClock();
    for (int pass = 0;; ++pass) {
        pollfd fd{signalFd, POLLIN, 0};
        const int n = ::poll(&fd, 1, kPassMs);
        if (n < 0 && errno != EINTR) {
            console_.line("poll failed: %s", std::strerror(errno));
            return;
        }
        if (n > 0 && (fd.revents & POLLIN)) {
            signalfd_siginfo info{};
            if (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                console_.line("signal %u, stopping", info.ssi_signo);
            return;
        }
        for (Index& slot : indexes_)
            if (slot.camera) slot.camera->poll(pass % kFormatListEvery == 0);
        maintainPipewire();
        const double now = platform::processClock();
        if (options_.statsInterval > 0.0 && now - lastStats >= options_.statsInterval) {
            lastStats = now;
            printStats();
        }
    }
}

void Webcamd::printStats() {
    for (std::size_t i = 0; i < indexes_.size(); ++i) {
        Index& slot = indexes_[i];
        if (!slot.camera) continue;
        const std::string camera = slot.video ? slot.video->statsText() : slot.v4l2->statsText();
        console_.line("stats camera %zu %s %s", i, camera.c_str(), slot.camera->statsText().c_str());
        console_.line("stats audio %zu %s", i, slot.sound->statsText().c_str());
    }
}

void Webcamd::shutdown() {
    // Servers first: their threads call into the cameras and audio nodes.
    for (Index& slot : indexes_)
        if (slot.endpoints) slot.endpoints->stop();
    for (Index& slot : indexes_) {
        if (slot.video) slot.video->dropStream();
        if (slot.sound) slot.sound->dropStream();
    }
    pipewire_.stop();
    files_.removeAll();
    for (Index& slot : indexes_) {
        if (slot.camera) slot.camera->remove();
        slot = Index{};
    }
}

}  // namespace tavin::webcamd
