#include "engine/formats.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace tavin {

std::string formatText(bool offerPortrait) {
    std::string text = "Automatic";
    const int count = offerPortrait ? kCatalogueSize : kCatalogueSize - 2;
    for (int i = 0; i < count; ++i) {
        text += "/" + std::to_string(kCatalogue[i].width) + " x " + std::to_string(kCatalogue[i].height);
    }
    return text;
}

bool offersPortrait(std::span<const VideoFormat> offered) {
    return std::any_of(offered.begin(), offered.end(),
                       [](const VideoFormat& f) { return f.width < f.height; });
}

static std::uint64_t pixels(const VideoFormat& f) {
    return static_cast<std::uint64_t>(f.width) * f.height;
}

void normaliseOffered(std::vector<VideoFormat>& offered) {
    if (offered.empty()) offered.push_back(kFallbackFormat);
    std::stable_sort(offered.begin(), offered.end(),
                     [](const VideoFormat& a, const VideoFormat& b) { return pixels(a) < pixels(b); });
}

static double aspect(const VideoFormat& f) {
    return f.height == 0 ? 0.0 : static_cast<double>(f.width) / static_cast<double>(f.height);
}

VideoFormat wantedFormat(std::span<const VideoFormat> offered, const FormatInputs& in) {
    // Base size: what the reader asks, else a default by activity; the
    // host's catalogue choice wins over both.
    long long w, h;
    if (in.consumerActive) {
        w = in.output.width;
        h = std::llabs(static_cast<long long>(in.output.height));
    } else if (in.active) {
        w = 1280;
        h = 720;
    } else {
        w = 640;
        h = 360;
    }
    if (isCatalogueIndex(in.chosenIndex)) {
        w = kCatalogue[in.chosenIndex - 1].width;
        h = kCatalogue[in.chosenIndex - 1].height;
    }
    const double ratio = h == 0 ? 1.33 : static_cast<double>(w) / static_cast<double>(h);

    // Widen the aspect tolerance step by step: first a format at least as
    // large with the ratio, else the largest with the ratio.
    bool found = false;
    VideoFormat result = kFallbackFormat;
    for (int step = 0; step < 10 && !found; ++step) {
        const double t = 0.01 + 0.05 * step;
        for (const VideoFormat& f : offered) {
            if (f.width >= w && f.height >= h && std::fabs(aspect(f) - ratio) <= t) {
                result = f;
                found = true;
                break;
            }
        }
        if (found) break;
        const VideoFormat* largest = nullptr;
        for (const VideoFormat& f : offered) {
            if (std::fabs(aspect(f) - ratio) <= t && (!largest || pixels(f) > pixels(*largest))) largest = &f;
        }
        if (largest) {
            result = *largest;
            found = true;
        }
    }
    if (!found) {
        // Nothing near the ratio: the closest width.
        result = kFallbackFormat;
        for (const VideoFormat& f : offered) {
            if (std::llabs(static_cast<long long>(f.width) - w) < std::llabs(static_cast<long long>(result.width) - w)) {
                result = f;
            }
        }
    }

    // Prefer the reader's frame rate among formats of the same size.
    for (const VideoFormat& f : offered) {
        if (f.width == result.width && f.height == result.height && std::fabs(f.fps - in.output.fps) < 0.5f) {
            result = f;
            break;
        }
    }
    return result;
}

bool formatChanged(const VideoFormat& current, const VideoFormat& wanted) {
    return current.width != wanted.width || current.height != wanted.height ||
           std::fabs(current.fps - wanted.fps) > 0.5f;
}

std::vector<DriverFormatEntry> driverFormatList(int index, bool driverTakesList) {
    std::vector<DriverFormatEntry> entries;
    if (!isCatalogueIndex(index) || !driverTakesList) return entries;
    const CatalogueSize& size = kCatalogue[index - 1];
    for (float fps : {30.0f, 60.06f}) {
        entries.push_back({size.width, size.height, static_cast<std::uint32_t>(fps * 1000.0f), 0});
    }
    return entries;
}

}  // namespace tavin
