// Draws the idle animation and writes it as a GIF file: a phone outline on
// black with signal waves sweeping out to both sides and three dots on its
// screen taking turns, 17 frames that loop seamlessly. The build runs it and
// links the file into the library as data resource 101.
//   make_idle_gif OUTPUT.gif
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <vector>

#include "gif_writer.h"

namespace {

using tavin::gif::Colour;

constexpr int kWidth = 132;
constexpr int kHeight = 86;
constexpr int kFrames = 17;
constexpr std::uint16_t kDelay = 8;           // hundredths of a second
constexpr int kDisposeNone = 1;               // disposal method: leave the frame in place
constexpr double kPi = 3.14159265358979323846;

// Palette indexes.
enum : std::uint8_t {
    kBlack = 0,
    kBody = 1,
    kScreen = 2,
    kOutline = 3,
    kDetail = 4,
    kWaveFirst = 5,  // 5..13: the signal ramp, dim to bright
    // Named in every control block as its transparent index and used by no
    // pixel: decoders that honour the index without its flag then still draw
    // every pixel.
    kUnused = 15,
};

constexpr int kWaveLevels = 9;

std::array<Colour, 16> palette() {
    std::array<Colour, 16> p{};
    p[kBody] = {34, 36, 44};
    p[kScreen] = {14, 38, 58};
    p[kOutline] = {178, 184, 194};
    p[kDetail] = {104, 110, 122};
    const Colour peak{90, 210, 255};
    for (int level = 1; level <= kWaveLevels; ++level) {
        const double f = static_cast<double>(level) / kWaveLevels;
        p[static_cast<std::size_t>(kWaveFirst + level - 1)] = {
            static_cast<std::uint8_t>(std::lround(peak.r * f)), static_cast<std::uint8_t>(std::lround(peak.g * f)),
            static_cast<std::uint8_t>(std::lround(peak.b * f))};
    }
    p[kUnused] = {255, 0, 255};
    return p;
}

// Signed distance from (x, y) to a box centred at (cx, cy) with half sizes
// (hx, hy) and corners rounded by r; negative inside.
double roundedBox(double x, double y, double cx, double cy, double hx, double hy, double r) {
    const double qx = std::fabs(x - cx) - hx + r;
    const double qy = std::fabs(y - cy) - hy + r;
    const double outside = std::hypot(std::max(qx, 0.0), std::max(qy, 0.0));
    return outside + std::min(std::max(qx, qy), 0.0) - r;
}

constexpr double kCentreX = 65.5, kCentreY = 42.5;

// The phone's pixel at (x, y), or nothing (-1) outside it.
int phonePixel(double x, double y, int frame) {
    const double body = roundedBox(x, y, kCentreX, kCentreY, 14.0, 25.0, 5.0);
    if (body > 0.0) return -1;
    if (body > -2.0) return kOutline;
    if (std::fabs(y - 20.5) < 0.6 && std::fabs(x - kCentreX) < 2.1) return kDetail;  // earpiece
    if (std::fabs(y - 64.5) < 0.6 && std::fabs(x - kCentreX) < 4.5) return kDetail;  // home bar
    if (roundedBox(x, y, kCentreX, 42.5, 10.0, 18.0, 2.0) > 0.0) return kBody;
    // Three dots on the screen, lit one after the other.
    const int lit = frame * 3 / kFrames;
    for (int dot = 0; dot < 3; ++dot) {
        if (std::hypot(x - (kCentreX - 6.0 + 6.0 * dot), y - kCentreY) < 1.8)
            return dot == lit ? kWaveFirst + kWaveLevels - 1 : kWaveFirst + 2;
    }
    return kScreen;
}

// Brightness 0..1 of the waves at (x, y): three arcs per side, a third of
// a loop apart, growing from the phone outwards and fading as they go.
double waves(double x, double y, int frame) {
    const double dx = std::fabs(x - kCentreX), dy = y - kCentreY;
    const double angle = std::atan2(std::fabs(dy), dx) * 180.0 / kPi;
    const double edge = std::clamp((38.0 - angle) / 10.0, 0.0, 1.0);
    if (edge <= 0.0) return 0.0;
    const double r = std::hypot(dx, dy);
    double best = 0.0;
    for (int k = 0; k < 3; ++k) {
        const double progress = std::fmod(static_cast<double>(frame) / kFrames + k / 3.0, 1.0);
        const double radius = 20.0 + 44.0 * progress;
        const double strength = std::min(1.0, progress * 5.0) * (1.0 - progress);
        const double cover = std::clamp(1.6 - std::fabs(r - radius), 0.0, 1.0);
        best = std::max(best, cover * strength * edge);
    }
    return best;
}

std::vector<std::uint8_t> drawFrame(int frame) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(kWidth) * kHeight, kBlack);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const double px = x + 0.5, py = y + 0.5;
            std::uint8_t& out = pixels[static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x)];
            const int phone = phonePixel(px, py, frame);
            if (phone >= 0) {
                out = static_cast<std::uint8_t>(phone);
                continue;
            }
            const int level = static_cast<int>(std::lround(waves(px, py, frame) * kWaveLevels * 1.4));
            if (level > 0) out = static_cast<std::uint8_t>(kWaveFirst + std::min(level, kWaveLevels) - 1);
        }
    }
    return pixels;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_idle_gif OUTPUT.gif\n");
        return 2;
    }
    const auto colours = palette();
    tavin::gif::GifWriter gif(kWidth, kHeight, colours);
    gif.loop();
    for (int frame = 0; frame < kFrames; ++frame) {
        gif.control(tavin::gif::disposalFlags(kDisposeNone), kDelay, kUnused);
        tavin::gif::ImageBlock block;
        block.width = kWidth;
        block.height = kHeight;
        block.minCodeSize = 4;
        gif.image(block, drawFrame(frame));
    }
    const std::vector<std::uint8_t> file = gif.finish();
    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    const bool written = std::fwrite(file.data(), 1, file.size(), out) == file.size();
    if (std::fclose(out) != 0 || !written) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
