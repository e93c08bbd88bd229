// Tells what happens in a run of the main job in a person's words, from the
// machine-readable lines its tools print: the host program's callback lines,
// the driver substitute's events and statistics, and the phone simulators'
// logs. One line per event: the cameras attaching, phones found and how,
// connecting, streaming with size and codec, a camera's phone list when it
// changes (not each time the engine repeats it), once a second the pictures
// per second, dropped pictures and sound level of every streaming camera,
// and a closing summary.
//
// Dropped pictures are counted from the time stamps the camera receives:
// a phone stamps each picture with its capture time, and the engine hands
// that stamp to the camera with the picture. Over a stretch of stream, the
// pictures the phone captured are the stretch's length times its frame
// rate; those the camera did not get were dropped on the way (by the
// network, the decoder, or a slot overwritten before the camera took it).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "output/driver_layout.h"

namespace tavin::narrator {

class Narrator {
public:
    // Receives each line to show, without its line end.
    using Say = std::function<void(const std::string&)>;

    // A camera's phone list is taken as whole once no entry came for this
    // long (the engine reports its entries one after the other at once).
    static constexpr double kListQuietSeconds = 0.25;

    explicit Narrator(Say say);

    // One line of each tool, `now` in seconds since the job started. A phone
    // simulator's lines come with the name the job gave that phone.
    void hostLine(std::string_view line, double now);
    void vcamLine(std::string_view line, double now);
    void phoneLine(std::string_view phone, std::string_view line, double now);

    // After each batch of lines: settles the phone lists that went quiet
    // (all of them with `SettleLists::All`) and tells the newest statistics
    // of the streaming cameras.
    enum class SettleLists { Quiet, All };
    void settle(double now, SettleLists lists = SettleLists::Quiet);

    // The closing lines: per camera that showed a phone, its pictures,
    // rate, dropped pictures and seconds of sound; then the errors the
    // engine recorded: those it reported to a phone and `storedRecord`, the
    // record it still holds ("" for none).
    void summarize(double now, std::string_view storedRecord);

private:
    // A stretch of one stream between two statistics of the camera.
    struct Window {
        bool open = false;
        std::uint64_t firstFrames = 0, lastFrames = 0;
        double firstStamp = 0.0, lastStamp = 0.0;
        std::int64_t dropped = 0;  // as of the last statistics
        std::uint64_t pictures() const { return lastFrames - firstFrames; }
        double seconds() const { return lastStamp - firstStamp; }
    };
    struct Entry {
        std::string name;  // as listed, with the engine's suffix
        bool current = false;
        bool operator==(const Entry&) const = default;
    };
    struct Camera {
        int status = -1;          // last status callback
        bool streaming = false;
        bool announced = false;   // the stream's "shows" line was said
        int width = 0, height = 0;
        std::string phone;        // the phone it streams from, without suffix
        std::string how;          // the engine's suffix: " [WiFi]" or " [USB]"
        // The phone list being gathered, and the last one told.
        std::vector<Entry> gathering;
        double gatheredAt = 0.0;
        bool gatheringOpen = false;
        std::vector<Entry> told;
        // Statistics of the camera since its stream began.
        int statsSinceStream = 0;
        Window window;
        std::int64_t droppedTold = 0;
        // The newest statistics, not yet told.
        bool fresh = false;
        double rate = 0.0;
        // Sound.
        std::uint64_t soundBytes = 0;
        bool soundFresh = false;
        bool sounding = false;
        int peak = 0;
        // Totals of the streams that ended, and what they showed.
        std::uint64_t totalPictures = 0;
        double totalSeconds = 0.0;
        std::int64_t totalDropped = 0;
        bool showed = false;
        std::string shown;        // phone, suffix, size and codec of the last stream
    };
    struct Phone {
        std::uint32_t codec = 0;  // FormatRequest codec word; 0 = none yet
        double fps = 0.0;
    };

    void say(double now, const std::string& text);
    void status(int index, int code, double now);
    void phoneEntry(int index, int position, std::string name, bool current, double now);
    void settleList(int index, double now);
    void announce(int index, double now);
    void endStream(Camera& camera);
    void cameraStats(int index, std::uint64_t frames, double rate, double stamp);
    double streamRate(const Camera& camera) const;
    std::string codecText(const std::string& phone) const;
    static std::string cameraName(int index);

    Say say_;
    std::array<Camera, driver::kCameraCount> cameras_;
    std::map<std::string, Phone, std::less<>> phones_;
    std::vector<std::string> reportedErrors_;  // "text" to "phone"
    int lastOpened_ = -1;
};

}  // namespace tavin::narrator
