// The picture formats: the fixed catalogue the host chooses from, the text
// that lists it to the host, the choice of the format to request from the
// phone, and the format list offered to the camera driver.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "output/camera_output.h"
#include "session/protocol.h"

namespace tavin {

// Catalogue indexes 1..10; 0 (and any other value) means automatic.
inline constexpr int kCatalogueSize = 10;
struct CatalogueSize {
    std::uint32_t width;
    std::uint32_t height;
};
inline constexpr CatalogueSize kCatalogue[kCatalogueSize] = {
    {640, 360},   {640, 480},   {960, 540},   {1280, 720},  {1280, 960},
    {1920, 1080}, {2560, 1440}, {3840, 2160}, {720, 1280},  {1080, 1920},
};
inline constexpr VideoFormat kFallbackFormat{640, 480, 30.0f};

inline bool isCatalogueIndex(int index) { return index >= 1 && index <= kCatalogueSize; }

// "Automatic/640 x 360/.../3840 x 2160", and "/720 x 1280/1080 x 1920" when
// the driver takes a format list and the phone offers a portrait size.
std::string formatText(bool offerPortrait);

// True when some offered format is portrait (narrower than high).
bool offersPortrait(std::span<const VideoFormat> offered);

// Sorts by ascending pixel count (stable among equal counts); an empty list
// becomes the fallback format.
void normaliseOffered(std::vector<VideoFormat>& offered);

// What decides the wanted format.
struct FormatInputs {
    bool consumerActive = false;  // somebody reads the camera
    OutputFormat output;          // what the reader asked for
    bool active = false;          // the instance is the active one
    int chosenIndex = 0;          // the host's choice
};

// The offered format that best fits the inputs.
VideoFormat wantedFormat(std::span<const VideoFormat> offered, const FormatInputs& in);

// True when a new FormatRequest is due: another size, or a rate that moved
// by more than 0.5.
bool formatChanged(const VideoFormat& current, const VideoFormat& wanted);

// The driver format list for a catalogue index: two entries of its size at
// 30 and 60.06 fps when the driver takes a list, else none.
std::vector<DriverFormatEntry> driverFormatList(int index, bool driverTakesList);

}  // namespace tavin
