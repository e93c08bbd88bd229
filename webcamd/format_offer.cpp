#include "format_offer.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <numeric>

#include "engine/formats.h"

namespace tavin::webcamd {
namespace {

// Rates offered for a catalogue size; the first is the default.
constexpr Rate kCatalogueRates[] = {{30, 1}, {60, 1}};
// The catalogue size offered first.
constexpr CatalogueSize kDefaultSize{1280, 720};

Rate rateOfMilli(std::uint32_t fpsMilli) {
    const std::uint32_t divisor = std::gcd(fpsMilli, 1000u);
    return Rate{fpsMilli / divisor, 1000u / divisor};
}

// An entry of the engine's list that a slot can hold in some offered kind,
// at a rate a request can carry.
bool usableEntry(const driverside::DriverFormatList::Entry& e) {
    constexpr std::uint32_t kMaxSide = 65'535;
    if (e.width == 0 || e.height == 0 || e.width > kMaxSide || e.height > kMaxSide) return false;
    if (e.fpsMilli == 0 || e.fpsMilli > 1'000'000) return false;
    for (std::int32_t kind : kOfferedKinds)
        if (kindOffered(kind, static_cast<std::int32_t>(e.width), static_cast<std::int32_t>(e.height))) return true;
    return false;
}

std::uint64_t distance(std::int64_t a, std::int64_t b) { return static_cast<std::uint64_t>(std::llabs(a - b)); }

}  // namespace

bool kindOffered(std::int32_t kind, std::int32_t width, std::int32_t height) {
    if (width <= 0 || height <= 0) return false;
    driverside::RequestedFormat f{width, height, 30.0f, kind};
    if (!driverside::validFormat(f, nullptr)) return false;
    switch (kind) {
        case driver::kYuy2: return width % 2 == 0;
        case driver::kI420: return width % 8 == 0 && height % 2 == 0;
        case driver::kBgr24: return width % 4 == 0;
        default: return false;
    }
}

std::vector<OfferedSize> offeredSizes(const driverside::DriverFormatList& list) {
    std::vector<OfferedSize> sizes;
    for (std::uint32_t i = 0; i < list.entries && i < list.items.size(); ++i) {
        const auto& e = list.items[i];
        if (!usableEntry(e)) continue;
        const auto w = static_cast<std::int32_t>(e.width), h = static_cast<std::int32_t>(e.height);
        const Rate rate = rateOfMilli(e.fpsMilli);
        OfferedSize* same = nullptr;
        for (OfferedSize& s : sizes)
            if (s.width == w && s.height == h) same = &s;
        if (!same) {
            sizes.push_back(OfferedSize{w, h, {}});
            same = &sizes.back();
        }
        bool known = false;
        for (const Rate& r : same->rates) known = known || r == rate;
        if (!known) same->rates.push_back(rate);
    }
    if (!sizes.empty()) return sizes;

    const std::vector<Rate> rates(std::begin(kCatalogueRates), std::end(kCatalogueRates));
    sizes.push_back(OfferedSize{static_cast<std::int32_t>(kDefaultSize.width),
                                static_cast<std::int32_t>(kDefaultSize.height), rates});
    for (const CatalogueSize& c : kCatalogue)
        if (c.width != kDefaultSize.width || c.height != kDefaultSize.height)
            sizes.push_back(
                OfferedSize{static_cast<std::int32_t>(c.width), static_cast<std::int32_t>(c.height), rates});
    return sizes;
}

RequestChoice requestFor(const NegotiatedFormat& negotiated, const std::vector<OfferedSize>& offered) {
    auto offersKind = [&](std::int32_t kind) {
        for (const OfferedSize& s : offered)
            if (kindOffered(kind, s.width, s.height)) return true;
        return false;
    };
    std::int32_t kind = -1;
    if (offersKind(negotiated.kind)) {
        kind = negotiated.kind;
    } else {
        for (std::int32_t k : kOfferedKinds)
            if (kind < 0 && offersKind(k)) kind = k;
    }
    RequestChoice choice;
    if (kind < 0) return choice;

    const OfferedSize* best = nullptr;
    std::uint64_t bestDistance = std::numeric_limits<std::uint64_t>::max();
    for (const OfferedSize& s : offered) {
        if (!kindOffered(kind, s.width, s.height) || s.rates.empty()) continue;
        const std::uint64_t d = distance(s.width, negotiated.width) + distance(s.height, negotiated.height);
        if (d < bestDistance) {
            bestDistance = d;
            best = &s;
        }
    }
    if (!best) return choice;
    const float wanted = negotiated.rate.fps();
    const Rate* rate = &best->rates.front();
    for (const Rate& r : best->rates)
        if (std::fabs(r.fps() - wanted) < std::fabs(rate->fps() - wanted)) rate = &r;

    choice.request = driverside::RequestedFormat{best->width, best->height, rate->fps(), kind};
    choice.exact = kind == negotiated.kind && bestDistance == 0 && *rate == negotiated.rate;
    return choice;
}

}  // namespace tavin::webcamd
