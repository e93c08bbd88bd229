// The picture formats a camera's PipeWire node offers, and the request for
// the engine that a format negotiated by a consumer becomes.
//
// The node offers the sizes of the engine's format list when the engine
// wrote one (the user picked a size in the host), else the sizes of the
// engine's catalogue, each in the pixel kinds the engine writes: YUY2, I420
// and BGR, in that order of preference. A kind is offered for a size only
// when its rows line up to 4 bytes (BGR: width a multiple of 4; YUY2: even
// width; I420: width a multiple of 8 and even height), the layout consumers
// assume when a buffer carries no plane offsets.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/requested_format.h"
#include "driver/virtual_camera.h"

namespace tavin::webcamd {

struct Rate {
    std::uint32_t num = 0;
    std::uint32_t den = 1;
    bool operator==(const Rate&) const = default;
    float fps() const { return den == 0 ? 0.0f : static_cast<float>(num) / static_cast<float>(den); }
};

// One offered size with its frame rates; the first rate is the default.
struct OfferedSize {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<Rate> rates;
    bool operator==(const OfferedSize&) const = default;
};

// The pixel kinds offered, in order of preference.
inline constexpr std::int32_t kOfferedKinds[] = {driver::kYuy2, driver::kI420, driver::kBgr24};

// The sizes to offer: the valid entries of `list` (in its order, entries of
// one size gathered with their rates), or the catalogue when it holds none.
// The first size is the default (1280 x 720 for the catalogue).
std::vector<OfferedSize> offeredSizes(const driverside::DriverFormatList& list);

// True when `kind` is offered for a width x height picture (see above).
bool kindOffered(std::int32_t kind, std::int32_t width, std::int32_t height);

// A format as a consumer negotiated it; kind -1 when it is none of ours.
struct NegotiatedFormat {
    std::int32_t kind = -1;
    std::int32_t width = 0;
    std::int32_t height = 0;
    Rate rate;
};

struct RequestChoice {
    driverside::RequestedFormat request;  // width 0 when nothing is offered
    bool exact = false;                   // the negotiated format is an offered one
};

// The offered format nearest to `negotiated`: its kind when that is offered
// for some size, else the first kind; the offered size of that kind closest
// in width and height; the size's rate closest to the negotiated one.
RequestChoice requestFor(const NegotiatedFormat& negotiated, const std::vector<OfferedSize>& offered);

}  // namespace tavin::webcamd
