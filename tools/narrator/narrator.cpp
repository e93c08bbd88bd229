#include "narrator.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "common/text_format.h"
#include "common/words.h"

namespace tavin::narrator {
namespace {

// Sound reaches the audio device as 48,000 16-bit samples a second.
constexpr double kSoundBytesPerSecond = 96'000.0;
constexpr double kFullScale = 32'768.0;
// FormatRequest codec words.
constexpr std::uint32_t kCodecH264 = 1;
constexpr std::uint32_t kCodecHevc = 2;
// The statistics of a camera that start a stretch of its stream: the
// second one after the stream began covers pictures of the stream only.
constexpr int kStatsBeforeWindow = 2;

constexpr std::string_view kWifiSuffix = " [WiFi]";
constexpr std::string_view kUsbSuffix = " [USB]";

using tools::number;
using tools::splitWords;

// The word after `key` in `w`, read as a number.
template <class T>
bool valueAfter(const std::vector<std::string_view>& w, std::string_view key, T& out) {
    for (std::size_t i = 0; i + 1 < w.size(); ++i)
        if (w[i] == key) return number(w[i + 1], out);
    return false;
}

// "WxH" into two numbers.
bool size(std::string_view text, int& width, int& height) {
    const std::size_t x = text.find('x');
    return x != std::string_view::npos && number(text.substr(0, x), width) && number(text.substr(x + 1), height);
}

bool cameraIndex(std::string_view text, int& index) {
    return number(text, index) && index >= 0 && index < driver::kCameraCount;
}

using tools::formatText;

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// Sentences start with a capital; camera names start lower case.
std::string capitalized(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text;
}

std::string baseName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The name as the engine lists it, split into the phone's name and the
// suffix that tells how the camera reaches it.
std::pair<std::string, std::string> splitSuffix(const std::string& listed) {
    for (std::string_view suffix : {kWifiSuffix, kUsbSuffix}) {
        if (listed.size() >= suffix.size() && listed.compare(listed.size() - suffix.size(), suffix.size(), suffix) == 0)
            return {listed.substr(0, listed.size() - suffix.size()), std::string(suffix)};
    }
    return {listed, ""};
}

std::string pictureCount(std::uint64_t n) { return n == 1 ? "1 picture" : std::to_string(n) + " pictures"; }

std::string droppedText(std::int64_t n) { return n <= 0 ? "none dropped" : std::to_string(n) + " dropped"; }

}  // namespace

Narrator::Narrator(Say say) : say_(std::move(say)) {}

std::string Narrator::cameraName(int index) { return "camera " + quoted(driver::kCameraNames[index]); }

void Narrator::say(double now, const std::string& text) {
    if (!text.empty()) say_(formatText("%5.1f s  ", now) + capitalized(text));
}

// ------------------------------------------------------------------ host

void Narrator::hostLine(std::string_view line, double now) {
    const std::vector<std::string_view> w = splitWords(line);
    if (w.empty()) return;
    int index = 0;
    if (w[0] == "status" && w.size() == 3) {
        int code = 0;
        if (cameraIndex(w[1], index) && number(w[2], code)) status(index, code, now);
    } else if (w[0] == "call" && w.size() == 4 && w[1] == "EOpen" && w[2] == "->") {
        // EOpen reports its result through the status callback just before.
        if (!cameraIndex(w[3], index)) return;
        Camera& camera = cameras_[static_cast<std::size_t>(index)];
        if (camera.status != 0)
            say(now, formatText("%s could not attach to its drivers (result %d).", cameraName(index).c_str(),
                            camera.status));
        camera.status = -1;
        lastOpened_ = index;
    } else if (w[0] == "call" && w.size() == 3 && w[1] == "EUninitialize" && w[2] == "done") {
        // Closed slots raise no status: their streams end here.
        for (Camera& camera : cameras_)
            if (camera.streaming) endStream(camera);
        say(now, "The engine stopped.");
    } else if (w[0] == "framesize" && w.size() == 3) {
        Camera* camera = cameraIndex(w[1], index) ? &cameras_[static_cast<std::size_t>(index)] : nullptr;
        if (camera && size(w[2], camera->width, camera->height)) announce(index, now);
    } else if (w[0] == "phone" && w.size() >= 5) {
        // phone K P key=KEY name="NAME" current=C; the name may hold spaces.
        const std::size_t nameAt = line.find(" name=\"");
        const std::size_t currentAt = line.rfind("\" current=");
        int position = 0, current = 0;
        if (!cameraIndex(w[1], index) || !number(w[2], position) || nameAt == std::string_view::npos ||
            currentAt == std::string_view::npos || currentAt < nameAt + 7 ||
            !number(line.substr(currentAt + 10), current))
            return;
        phoneEntry(index, position, std::string(line.substr(nameAt + 7, currentAt - nameAt - 7)), current == 1, now);
    } else if (w[0] == "preview" && w.size() == 3) {
        int width = 0, height = 0;
        if (size(w[2], width, height))
            say(now, formatText("The host saved its preview: %s (%d x %d).", baseName(w[1]).c_str(), width, height));
    } else if (w[0] == "preview" && w.size() > 3 && w[2] == "failed:") {
        say(now, "The host could not save its preview: " + std::string(line.substr(line.find("failed:") + 8)));
    }
}

void Narrator::status(int index, int code, double now) {
    Camera& camera = cameras_[static_cast<std::size_t>(index)];
    if (lastOpened_ < index) {
        // The result of EOpen, told when the host says which slot it was.
        camera.status = code;
        return;
    }
    const bool changed = camera.status != code;
    camera.status = code;
    if (!changed) return;
    if (camera.streaming && code != 3) {
        say(now, formatText("%s: %s stopped streaming.", cameraName(index).c_str(),
                        camera.phone.empty() ? "the phone" : quoted(camera.phone).c_str()));
        endStream(camera);
    }
    switch (code) {
        case 1: say(now, cameraName(index) + ": the connection to the phone failed."); break;
        case 2: say(now, cameraName(index) + " is connecting to a phone."); break;
        case 3:
            camera.streaming = true;
            camera.statsSinceStream = 0;
            announce(index, now);
            break;
        case 4: say(now, cameraName(index) + ": the phone asks for a passcode."); break;
        default: break;
    }
}

void Narrator::phoneEntry(int index, int position, std::string name, bool current, double now) {
    Camera& camera = cameras_[static_cast<std::size_t>(index)];
    if (position == 0 && camera.gatheringOpen) settleList(index, now);
    if (!camera.gatheringOpen) camera.gathering.clear();
    camera.gathering.push_back(Entry{std::move(name), current});
    camera.gatheringOpen = true;
    camera.gatheredAt = now;
}

void Narrator::settleList(int index, double now) {
    Camera& camera = cameras_[static_cast<std::size_t>(index)];
    camera.gatheringOpen = false;
    for (const Entry& entry : camera.gathering) {
        if (!entry.current) continue;
        auto [phone, how] = splitSuffix(entry.name);
        if (phone != camera.phone || how != camera.how) {
            say(now, formatText("Found %s%s for %s.", quoted(phone).c_str(), how.c_str(), cameraName(index).c_str()));
            camera.phone = std::move(phone);
            camera.how = std::move(how);
            camera.announced = false;
            announce(index, now);
        }
    }
    if (camera.gathering == camera.told) return;
    camera.told = camera.gathering;
    std::string text = "Phones for " + cameraName(index) + ":";
    for (std::size_t i = 0; i < camera.told.size(); ++i) {
        text += i == 0 ? " " : ", ";
        const auto [phone, how] = splitSuffix(camera.told[i].name);
        text += quoted(phone) + how;
        if (camera.told[i].current) text += " (streaming here)";
    }
    say(now, text + ".");
}

void Narrator::announce(int index, double now) {
    Camera& camera = cameras_[static_cast<std::size_t>(index)];
    if (!camera.streaming || camera.announced || camera.phone.empty() || camera.width <= 0) return;
    camera.announced = true;
    camera.showed = true;
    camera.shown = formatText("%s%s at %d x %d", quoted(camera.phone).c_str(), camera.how.c_str(), camera.width,
                          camera.height);
    const std::string codec = codecText(camera.phone);
    if (!codec.empty()) camera.shown += ", " + codec;
    say(now, cameraName(index) + " shows " + camera.shown + ".");
}

void Narrator::endStream(Camera& camera) {
    if (camera.window.open) {
        camera.totalPictures += camera.window.pictures();
        camera.totalSeconds += camera.window.seconds();
        camera.totalDropped += std::max<std::int64_t>(0, camera.window.dropped);
    }
    camera.window = Window{};
    camera.droppedTold = 0;
    camera.streaming = false;
    camera.announced = false;
    camera.statsSinceStream = 0;
}

std::string Narrator::codecText(const std::string& phone) const {
    const auto found = phones_.find(phone);
    if (found == phones_.end()) return "";
    if (found->second.codec == kCodecH264) return "H.264";
    if (found->second.codec == kCodecHevc) return "HEVC";
    return "";
}

double Narrator::streamRate(const Camera& camera) const {
    const auto found = phones_.find(camera.phone);
    return found != phones_.end() ? found->second.fps : 0.0;
}

// ------------------------------------------------------------------ vcam

void Narrator::vcamLine(std::string_view line, double now) {
    constexpr std::string_view kPrefix = "vcam: ";
    if (line.substr(0, kPrefix.size()) != kPrefix) return;
    line.remove_prefix(kPrefix.size());
    const std::vector<std::string_view> w = splitWords(line);
    if (w.empty()) return;
    int index = 0;
    if (w[0] == "ready") {
        say(now, "The driver substitute is ready.");
    } else if (w[0] == "error:") {
        say(now, "The driver substitute reports an error: " + std::string(line.substr(7)));
    } else if (w[0] == "stats" && w.size() > 3 && w[1] == "camera" && cameraIndex(w[2], index)) {
        std::uint64_t frames = 0;
        double rate = 0.0, stamp = 0.0;
        if (valueAfter(w, "frames", frames) && valueAfter(w, "fps", rate) && valueAfter(w, "stamp", stamp))
            cameraStats(index, frames, rate, stamp);
    } else if (w[0] == "stats" && w.size() > 3 && w[1] == "audio" && cameraIndex(w[2], index)) {
        Camera& camera = cameras_[static_cast<std::size_t>(index)];
        std::uint64_t bytes = 0;
        int peak = 0;
        if (!valueAfter(w, "bytes", bytes) || !valueAfter(w, "peak", peak)) return;
        camera.sounding = bytes > camera.soundBytes;
        camera.soundBytes = bytes;
        camera.peak = peak;
        camera.soundFresh = true;
    } else if (w[0] == "camera" && w.size() >= 4 && cameraIndex(w[1], index)) {
        const std::string name = cameraName(index);
        if (w[2] == "attached" || w[2] == "detached") {
            Camera& camera = cameras_[static_cast<std::size_t>(index)];
            if (w[2] == "detached" && camera.streaming) endStream(camera);
            const char* how = w[3] == "(region)" ? " through shared memory" : " through device requests";
            say(now, w[2] == "attached" ? "The engine attached to " + name + how + "."
                                        : "The engine let go of " + name + ".");
        } else if (w[2] == "snapshot" && w.size() == 5 && w[3] != "pending") {
            int width = 0, height = 0;
            if (size(w[4], width, height))
                say(now, formatText("Saved the picture of %s: %s (%d x %d).", name.c_str(), baseName(w[3]).c_str(), width,
                                height));
        } else if (w[2] == "clip" && w.size() == 7 && w[5] == "pictures") {
            int width = 0, height = 0;
            std::uint64_t count = 0;
            if (number(w[4], count) && size(w[6], width, height))
                say(now, formatText("Saved a clip of %s: %s (%s of %d x %d).", name.c_str(), baseName(w[3]).c_str(),
                                pictureCount(count).c_str(), width, height));
        } else if ((w[2] == "snapshot" || w[2] == "clip") && w.size() > 4 && w[4] == "failed:") {
            say(now, formatText("Could not save %s of %s: %s", baseName(w[3]).c_str(), name.c_str(),
                            std::string(line.substr(line.find("failed:") + 8)).c_str()));
        } else if (w[2] == "picture" && w[3] == "of") {
            say(now, name + " got a picture of the wrong size: " + std::string(line.substr(line.find("of ") + 3)));
        }
    }
}

void Narrator::cameraStats(int index, std::uint64_t frames, double rate, double stamp) {
    Camera& camera = cameras_[static_cast<std::size_t>(index)];
    camera.rate = rate;
    camera.fresh = true;
    if (!camera.streaming) return;
    Window& window = camera.window;
    if (window.open && stamp < window.lastStamp) {
        // The stamps went back: another stream (or the idle picture) came
        // between; start a new stretch here.
        camera.totalPictures += window.pictures();
        camera.totalSeconds += window.seconds();
        camera.totalDropped += std::max<std::int64_t>(0, window.dropped);
        window = Window{};
        camera.droppedTold = 0;
        camera.statsSinceStream = kStatsBeforeWindow - 1;
    }
    if (!window.open) {
        if (++camera.statsSinceStream < kStatsBeforeWindow) return;
        window.open = true;
        window.firstFrames = window.lastFrames = frames;
        window.firstStamp = window.lastStamp = stamp;
        return;
    }
    window.lastFrames = frames;
    window.lastStamp = stamp;
    const double fps = streamRate(camera);
    if (fps > 0.0) {
        const auto captured = static_cast<std::int64_t>(std::llround(window.seconds() * fps));
        window.dropped = captured - static_cast<std::int64_t>(window.pictures());
    }
}

// ------------------------------------------------------------------ phones

void Narrator::phoneLine(std::string_view phone, std::string_view line, double now) {
    constexpr std::string_view kRequest = "phone: rx FormatRequest ";
    constexpr std::string_view kReport = "phone: rx ErrorReport text=";
    if (line.substr(0, kRequest.size()) == kRequest) {
        const std::vector<std::string_view> w = splitWords(line.substr(kRequest.size()));
        Phone& p = phones_[std::string(phone)];
        if (w.size() != 2 || w[0].substr(0, 6) != "codec=" || !number(w[0].substr(6), p.codec)) return;
        const std::size_t at = w[1].find('@');
        double fps = 0.0;
        if (at != std::string_view::npos && number(w[1].substr(at + 1), fps)) p.fps = fps;
    } else if (line.substr(0, kReport.size()) == kReport) {
        const std::string text(line.substr(kReport.size()));
        say(now, formatText("The engine reported an error to %s: %s", quoted(phone).c_str(), text.c_str()));
        reportedErrors_.push_back(quoted(text) + " (reported to " + quoted(phone) + ")");
    }
}

// ------------------------------------------------------------------ output

void Narrator::settle(double now, SettleLists lists) {
    for (int i = 0; i < driver::kCameraCount; ++i) {
        const Camera& camera = cameras_[static_cast<std::size_t>(i)];
        if (camera.gatheringOpen && (lists == SettleLists::All || now - camera.gatheredAt >= kListQuietSeconds))
            settleList(i, now);
    }
    std::string text;
    for (int i = 0; i < driver::kCameraCount; ++i) {
        Camera& camera = cameras_[static_cast<std::size_t>(i)];
        const bool fresh = camera.fresh;
        camera.fresh = false;
        if (!fresh || !camera.announced) {
            camera.soundFresh = false;
            continue;
        }
        text += text.empty() ? "" : "; ";
        text += formatText("%s %.1f pictures/s", cameraName(i).c_str(), camera.rate);
        if (camera.window.open && streamRate(camera) > 0.0) {
            text += formatText(", %lld dropped",
                           static_cast<long long>(std::max<std::int64_t>(0, camera.window.dropped - camera.droppedTold)));
            camera.droppedTold = std::max(camera.droppedTold, camera.window.dropped);
        }
        if (camera.soundFresh && camera.sounding)
            text += camera.peak > 0 ? formatText(", sound %.0f dBFS", 20.0 * std::log10(camera.peak / kFullScale))
                                    : ", silent sound";
        else if (camera.soundFresh)
            text += ", no sound";
        camera.soundFresh = false;
    }
    if (!text.empty()) say(now, text + ".");
}

void Narrator::summarize(double now, std::string_view storedRecord) {
    settle(now, SettleLists::All);
    say(now, formatText("Summary after %.1f s:", now));
    bool any = false;
    for (int i = 0; i < driver::kCameraCount; ++i) {
        Camera& camera = cameras_[static_cast<std::size_t>(i)];
        if (camera.streaming) endStream(camera);
        if (!camera.showed) continue;
        any = true;
        std::string text = "  " + capitalized(cameraName(i)) + " showed " + camera.shown + ": ";
        if (camera.totalSeconds > 0.0) {
            text += formatText("%s in %.1f s (%.1f a second), %s", pictureCount(camera.totalPictures).c_str(),
                           camera.totalSeconds, static_cast<double>(camera.totalPictures) / camera.totalSeconds,
                           droppedText(camera.totalDropped).c_str());
        } else {
            text += "too short a stream to count its pictures";
        }
        text += camera.soundBytes > 0 ? formatText("; %.1f s of sound.", static_cast<double>(camera.soundBytes) /
                                                                       kSoundBytesPerSecond)
                                      : "; no sound.";
        say_(text);
    }
    if (!any) say_("  No camera showed a phone.");
    std::vector<std::string> errors = reportedErrors_;
    if (!storedRecord.empty()) errors.push_back(quoted(storedRecord) + " (still stored)");
    std::string text = "  Errors recorded: ";
    if (errors.empty()) text += "none";
    for (std::size_t i = 0; i < errors.size(); ++i) text += (i == 0 ? "" : ", ") + errors[i];
    say_(text + ".");
}

}  // namespace tavin::narrator
