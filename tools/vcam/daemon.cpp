#include "daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "driver/file_ops.h"
#include "platform/clock.h"

namespace tavin::vcam {
namespace {

using driverside::makeDirectories;

// Region passes between two readings of the engine's format list (about
// every 25 ms at one pass every 3 ms).
constexpr int kFormatListEvery = 8;
constexpr int kPassMs = 3;

bool usesStdout(const VcamOptions& o) {
    for (const auto* list : {&o.y4m, &o.pcm, &o.wav})
        for (const OutputTarget& t : *list)
            if (t.path == "-") return true;
    return false;
}

// Opens the output of camera `index` from `targets`: -1 when there is none,
// -2 on failure (errno set).
int openTarget(const std::vector<OutputTarget>& targets, int index, bool& owned) {
    owned = false;
    for (const OutputTarget& t : targets) {
        if (t.camera != index) continue;
        if (t.path == "-") return STDOUT_FILENO;
        int fd = ::open(t.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return -2;
        owned = true;
        return fd;
    }
    return -1;
}

const std::string* targetPath(const std::vector<OutputTarget>& targets, int index) {
    for (const OutputTarget& t : targets)
        if (t.camera == index) return &t.path;
    return nullptr;
}

}  // namespace

Daemon::Daemon(VcamOptions options)
    : options_(std::move(options)), console_("vcam", usesStdout(options_)), files_(options_.deviceDir) {}

Daemon::~Daemon() { shutdown(); }

bool Daemon::start(std::string& error) {
    if (!makeDirectories(options_.deviceDir, error) || !makeDirectories(options_.socketDir, error)) return false;
    for (int index : options_.cameras)
        if (!startIndex(index, error)) return false;
    if (!openCommands(error)) return false;
    console_.ready();
    return true;
}

bool Daemon::startIndex(int index, std::string& error) {
    Index& slot = indexes_[static_cast<std::size_t>(index)];

    bool owned = false;
    int fd = openTarget(options_.y4m, index, owned);
    if (fd == -2) {
        error = "cannot open " + *targetPath(options_.y4m, index) + ": " + std::strerror(errno);
        return false;
    }
    std::unique_ptr<Y4mStream> stream;
    if (fd >= 0) stream = std::make_unique<Y4mStream>(fd, owned);
    slot.recorder = std::make_unique<PictureRecorder>(index, console_, std::move(stream));
    slot.camera = std::make_unique<driverside::VirtualCamera>(index, options_.cameraSettings(), console_,
                                                              *slot.recorder);
    if (!slot.camera->create(error)) return false;

    slot.endpoints = std::make_unique<driverside::DeviceEndpoints>(
        index, driverside::EndpointNames{options_.socketDir, "vcam"}, files_);
    if (!slot.endpoints->serveCamera(*slot.camera, options_.cameraFile, error)) return false;

    if (!options_.audio) return true;
    std::vector<std::unique_ptr<SampleFile>> files;
    for (auto [targets, kind] : {std::pair{&options_.pcm, SampleFile::Kind::Raw},
                                 std::pair{&options_.wav, SampleFile::Kind::Wav}}) {
        fd = openTarget(*targets, index, owned);
        if (fd == -1) continue;
        if (fd >= 0) files.push_back(std::make_unique<SampleFile>(fd, owned, kind));
        if (fd == -2 || !files.back()->start()) {
            error = "cannot write " + *targetPath(*targets, index) + ": " + std::strerror(errno);
            return false;
        }
    }
    slot.playback = std::make_unique<VirtualAudio>(index, options_, console_, std::move(files));
    slot.audio = std::make_unique<driverside::AudioDevice>(
        index, driverside::AudioSettings{options_.audioStatus, options_.audioQueryFails}, console_, *slot.playback);
    return slot.endpoints->serveAudio(*slot.audio, error);
}

bool Daemon::openCommands(std::string& error) {
    if (options_.commandFifo.empty()) {
        commands_ = std::make_unique<LineReader>(STDIN_FILENO);
        return true;
    }
    const std::string& path = options_.commandFifo;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (::mkfifo(path.c_str(), 0600) != 0) {
            error = "cannot create the FIFO " + path + ": " + std::strerror(errno);
            return false;
        }
        fifoCreated_ = true;
    } else if (!S_ISFIFO(st.st_mode)) {
        error = path + " exists and is not a FIFO";
        return false;
    }
    // Held open for writing too, so that a writer going away is no end of
    // input: the next writer's lines still arrive.
    fifoFd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifoFd_ < 0) {
        error = "cannot open the FIFO " + path + ": " + std::strerror(errno);
        return false;
    }
    commands_ = std::make_unique<LineReader>(fifoFd_);
    return true;
}

void Daemon::run(int signalFd) {
    bool commandsOpen = commands_ != nullptr;
    double lastStats = platform::processClock();
    for (int pass = 0;; ++pass) {
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {commandsOpen ? commands_->fd() : -1, POLLIN, 0}};
        int n = ::poll(fds, 2, kPassMs);
        if (n < 0 && errno != EINTR) {
            console_.line("poll failed: %s", std::strerror(errno));
            return;
        }
        if (n > 0 && (fds[0].revents & POLLIN)) {
            signalfd_siginfo info{};
            if (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                console_.line("signal %u, stopping", info.ssi_signo);
            return;
        }
        if (n > 0 && commandsOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            std::vector<std::string> lines;
            int overlong = 0;
            if (!commands_->read(lines, overlong)) commandsOpen = false;  // end of standard input
            for (int i = 0; i < overlong; ++i) console_.line("error: command line longer than 1024 bytes dropped");
            for (const std::string& line : lines)
                if (!apply(line)) return;
        }
        for (Index& slot : indexes_)
            if (slot.camera) slot.camera->poll(pass % kFormatListEvery == 0);
        const double now = platform::processClock();
        if (options_.statsInterval > 0.0 && now - lastStats >= options_.statsInterval) {
            lastStats = now;
            printStats();
        }
    }
}

bool Daemon::apply(const std::string& line) {
    Command c;
    std::string error;
    if (!parseCommand(line, c, error)) {
        if (!error.empty()) console_.line("error: %s: %s", line.c_str(), error.c_str());
        return true;
    }
    if (c.kind == Command::Kind::Quit) {
        console_.line("quit, stopping");
        return false;
    }
    if (c.kind == Command::Kind::Stats) {
        printStats();
        return true;
    }
    Index& slot = indexes_[static_cast<std::size_t>(c.camera)];
    if (!slot.camera) {
        console_.line("error: %s: camera %d does not exist", line.c_str(), c.camera);
        return true;
    }
    driverside::VirtualCamera& camera = *slot.camera;
    switch (c.kind) {
        case Command::Kind::Format:
            if (options_.mode != CameraMode::Region && c.format.width != 0 && c.format.kind != driver::kBgr24 &&
                c.format.kind != driver::kYuy2) {
                console_.line("error: %s: device requests carry pixel kinds 0 and 1 only", line.c_str());
                return true;
            }
            camera.setRequest(c.format);
            console_.line("camera %d format %s", c.camera, formatText(c.format).c_str());
            break;
        case Command::Kind::Request:
            camera.setRequest(c.format);
            console_.line("camera %d request %d %d %g %d", c.camera, c.format.width, c.format.height,
                          static_cast<double>(c.format.fps), c.format.kind);
            break;
        case Command::Kind::Consumer:
            camera.setConsumer(c.on);
            console_.line("camera %d consumer %s", c.camera, c.on ? "on" : "off");
            break;
        case Command::Kind::ControlA:
            camera.setControlA(static_cast<std::int32_t>(c.value));
            console_.line("camera %d control A %lld", c.camera, static_cast<long long>(c.value));
            break;
        case Command::Kind::ControlB:
            camera.setControlB(static_cast<std::uint32_t>(c.value));
            console_.line("camera %d control B %lld", c.camera, static_cast<long long>(c.value));
            break;
        case Command::Kind::FormatList:
            camera.setFormatList(c.on);
            console_.line("camera %d formatlist %s", c.camera, c.on ? "on" : "off");
            break;
        case Command::Kind::Snapshot:
            slot.recorder->requestSnapshot(c.path);
            console_.line("camera %d snapshot pending %s", c.camera, c.path.c_str());
            break;
        case Command::Kind::Stats:
        case Command::Kind::Quit:
            break;
    }
    return true;
}

void Daemon::printStats() {
    for (std::size_t i = 0; i < indexes_.size(); ++i) {
        Index& slot = indexes_[i];
        if (slot.camera)
            console_.line("stats camera %zu %s %s", i, slot.recorder->statsText().c_str(),
                          slot.camera->statsText().c_str());
        if (slot.playback) console_.line("stats audio %zu %s", i, slot.playback->statsText().c_str());
    }
}

void Daemon::shutdown() {
    // Servers first: their threads call into the cameras and audio devices.
    for (Index& slot : indexes_)
        if (slot.endpoints) slot.endpoints->stop();
    files_.removeAll();
    for (Index& slot : indexes_) {
        if (slot.camera) slot.camera->remove();
        slot.endpoints.reset();
        slot.camera.reset();
        slot.audio.reset();
        slot.playback.reset();
        slot.recorder.reset();
    }
    commands_.reset();
    if (fifoFd_ >= 0) ::close(fifoFd_);
    fifoFd_ = -1;
    if (fifoCreated_) ::unlink(options_.commandFifo.c_str());
    fifoCreated_ = false;
}

}  // namespace tavin::vcam
