// The GIF decoder on small GIFs the tests write (tools of resources/generator)
// or put together byte by byte, and on the idle animation linked into the
// library.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "gif_writer.h"
#include "output/gif_decoder.h"
#include "platform/resources.h"

namespace tavin {
namespace {

using gif::Colour;
using gif::GifWriter;
using gif::ImageBlock;
using Pixel = std::array<std::uint8_t, 4>;  // B, G, R, A

constexpr std::array<Colour, 4> kColours = {{{10, 20, 30}, {200, 0, 0}, {0, 200, 0}, {0, 0, 200}}};

Pixel opaque(int index) {
    const Colour c = kColours[static_cast<std::size_t>(index)];
    return {c.b, c.g, c.r, 255};
}
constexpr Pixel kUntouched = {0, 0, 0, 0};

Pixel at(const IdleAnimation& a, int frame, int x, int y) {
    const std::uint8_t* p = a.frame(frame) + 4 * (static_cast<std::size_t>(y) * static_cast<std::size_t>(a.width) +
                                                  static_cast<std::size_t>(x));
    return {p[0], p[1], p[2], p[3]};
}

ImageBlock block(int left, int top, int width, int height, int minCodeSize = 2) {
    ImageBlock b;
    b.left = left;
    b.top = top;
    b.width = width;
    b.height = height;
    b.minCodeSize = minCodeSize;
    return b;
}

const std::uint8_t kDisposeNone = gif::disposalFlags(1);
const std::uint8_t kDisposeToBackground = gif::disposalFlags(2);

TEST(GifDecoder, ComposesWithTheControlBlockInForce) {
    GifWriter w(4, 2, kColours, /*background*/ 2);
    // No control block yet: index 0 counts as transparent.
    w.image(block(0, 0, 4, 2), std::vector<std::uint8_t>{1, 0, 1, 1, 3, 3, 3, 0});
    // Disposal 1 with transparent index 3 and the transparency flag clear:
    // index 3 keeps the previous frame, index 0 now has a colour.
    w.control(kDisposeNone, 8, 3);
    w.image(block(0, 0, 4, 2), std::vector<std::uint8_t>{3, 2, 3, 0, 3, 3, 1, 3});
    // Disposal 2: transparent pixels become the background colour, alpha 0.
    w.control(kDisposeToBackground, 8, 1);
    w.image(block(1, 0, 2, 1), std::vector<std::uint8_t>{1, 3});
    // No block of its own: the last one stays in force, and a control block
    // whose body is not 4 bytes long changes nothing.
    w.raw(std::vector<std::uint8_t>{0x21, 0xF9, 3, kDisposeNone, 0, 0, 0});
    w.image(block(3, 1, 1, 1), std::vector<std::uint8_t>{1});
    const IdleAnimation a = decodeGif(w.finish());

    ASSERT_EQ(a.width, 4);
    ASSERT_EQ(a.height, 2);
    ASSERT_EQ(a.frameCount, 4);
    const std::vector<Pixel> frame0 = {opaque(1), kUntouched, opaque(1), opaque(1),
                                       opaque(3), opaque(3),  opaque(3), kUntouched};
    const std::vector<Pixel> frame1 = {opaque(1), opaque(2), opaque(1), opaque(0),
                                       opaque(3), opaque(3), opaque(1), kUntouched};
    const Pixel background = {0, 200, 0, 0};
    std::vector<Pixel> frame2 = frame1;
    frame2[1] = background;
    frame2[2] = opaque(3);
    std::vector<Pixel> frame3 = frame2;
    frame3[7] = background;
    const std::vector<Pixel>* expected[] = {&frame0, &frame1, &frame2, &frame3};
    for (int f = 0; f < 4; ++f) {
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(at(a, f, i % 4, i / 4), (*expected[f])[static_cast<std::size_t>(i)])
                << "frame " << f << " pixel " << i;
        }
    }
}

TEST(GifDecoder, InterlacedRowsLocalTablesAndImagesPartlyOffTheScreen) {
    std::array<Colour, 16> reds{};
    for (std::size_t i = 0; i < reds.size(); ++i) reds[i] = {static_cast<std::uint8_t>(10 * i + 5), 0, 0};
    GifWriter w(3, 10, kColours);
    w.control(kDisposeNone, 0, 15);
    // Rows 0..9 (index = row) as an interlaced file stores them: every 8th
    // row from 0, every 8th from 4, every 4th from 2, every 2nd from 1.
    ImageBlock interlaced = block(0, 0, 1, 10, 4);
    interlaced.interlaced = true;
    interlaced.localTable = reds;
    w.imageData(interlaced, gif::lzwCompress(std::vector<std::uint8_t>{0, 8, 4, 2, 6, 1, 3, 5, 7, 9}, 4));
    // 3 x 3 at (2, 8): only its top-left 1 x 2 lies on the screen.
    w.image(block(2, 8, 3, 3), std::vector<std::uint8_t>(9, 2));
    const IdleAnimation a = decodeGif(w.finish());

    ASSERT_EQ(a.frameCount, 2);
    for (int y = 0; y < 10; ++y) EXPECT_EQ(at(a, 0, 0, y)[2], 10 * y + 5) << "row " << y;
    for (int y = 0; y < 10; ++y) {
        EXPECT_EQ(at(a, 1, 2, y), y >= 8 ? opaque(2) : kUntouched) << "row " << y;
        EXPECT_EQ(at(a, 1, 1, y), kUntouched);
    }
}

TEST(GifDecoder, ImagesTallerThanTheScreen) {
    // 1 x 10 images on a 1 x 5 screen, index = row. Interlaced, rows of the
    // later passes come back onto the screen after rows below it; when the
    // data ends early, the rows on the screen it did not reach keep index 0.
    std::array<Colour, 16> reds{};
    for (std::size_t i = 0; i < reds.size(); ++i) reds[i] = {static_cast<std::uint8_t>(10 * i + 5), 0, 0};
    const std::vector<std::uint8_t> interlacedRows = {0, 8, 4, 2, 6, 1, 3, 5, 7, 9};
    GifWriter w(1, 5, reds);
    w.control(kDisposeNone, 0, 15);
    ImageBlock interlaced = block(0, 0, 1, 10, 4);
    interlaced.interlaced = true;
    w.imageData(interlaced, gif::lzwCompress(interlacedRows, 4));
    w.imageData(interlaced, gif::lzwCompress(std::span(interlacedRows).first(3), 4));  // rows 0, 8, 4
    // Top to bottom, the rows below the screen are skipped with their data,
    // and the next image reads from its own start.
    w.image(block(0, 0, 1, 10, 4), std::vector<std::uint8_t>{9, 8, 7, 6, 5, 4, 3, 2, 1, 0});
    w.image(block(0, 2, 1, 1, 4), std::vector<std::uint8_t>{11});
    const IdleAnimation a = decodeGif(w.finish());

    ASSERT_EQ(a.frameCount, 4);
    const auto red = [&](int frame, int y) { return at(a, frame, 0, y)[2]; };
    for (int y = 0; y < 5; ++y) {
        EXPECT_EQ(red(0, y), 10 * y + 5) << "row " << y;
        EXPECT_EQ(red(1, y), y == 0 || y == 4 ? 10 * y + 5 : 5) << "row " << y;
        EXPECT_EQ(red(2, y), 10 * (9 - y) + 5) << "row " << y;
        EXPECT_EQ(red(3, y), y == 2 ? 115 : 10 * (9 - y) + 5) << "row " << y;
    }
}

TEST(GifDecoder, KeepsTheBoundsItIsGiven) {
    GifWriter w(4, 2, kColours);
    for (int i = 0; i < 5; ++i) w.image(block(0, 0, 1, 1), std::vector<std::uint8_t>{1});
    const std::vector<std::uint8_t> file = w.finish();
    const std::size_t frameBytes = 4 * 4 * 2;
    EXPECT_EQ(decodeGif(file).frameCount, 5);
    EXPECT_EQ(decodeGif(file, GifLimits{3, kMaxAnimationBytes}).frameCount, 3);
    const IdleAnimation two = decodeGif(file, GifLimits{kMaxAnimationFrames, 3 * frameBytes - 1});
    EXPECT_EQ(two.frameCount, 2);
    EXPECT_EQ(two.pixels.size(), 2 * frameBytes);
    // A screen larger than the bound gives no frames at all.
    const IdleAnimation none = decodeGif(file, GifLimits{kMaxAnimationFrames, frameBytes - 1});
    EXPECT_EQ(none.frameCount, 0);
    EXPECT_EQ(none.width, 0);
}

TEST(GifDecoder, DamagedDataDecodesAsFarAsItGoes) {
    // Codes of 3 bits (minimum code size 2: clear 4, end 5), widening to 4
    // bits once code 8 is due. Code 7 cannot be decoded while the next free
    // code is 6: row 0 ends there, row 1 starts with the next code.
    gif::CodePacker codes;
    for (unsigned c : {4u, 1u, 7u, 2u, 2u, 6u}) codes.put(c, 3);
    for (unsigned c : {3u, 5u}) codes.put(c, 4);
    GifWriter w(4, 3, kColours);
    w.control(kDisposeNone, 0, 3);  // index 0 is a colour here
    w.imageData(block(0, 0, 4, 3), codes.bytes());
    const IdleAnimation bad = decodeGif(w.finish());
    ASSERT_EQ(bad.frameCount, 1);
    const int rows[3][4] = {{1, 0, 0, 0}, {2, 2, 2, 2}, {0, 0, 0, 0}};
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 4; ++x) {
            // Code 3 is the transparent index: row 2 keeps the empty canvas
            // where it was written, and index 0 after the end code.
            const Pixel want = y == 2 ? (x == 0 ? kUntouched : opaque(0)) : opaque(rows[y][x]);
            EXPECT_EQ(at(bad, 0, x, y), want) << x << "," << y;
        }
    }

    // A file cut inside the image data: the rows it holds, then index 0.
    std::vector<std::uint8_t> pixels(16 * 16);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(1 + (i / 16) % 3);
    GifWriter whole(16, 16, kColours);
    whole.control(kDisposeNone, 0, 3);
    whole.image(block(0, 0, 16, 16), pixels);
    std::vector<std::uint8_t> file = whole.finish();
    const IdleAnimation full = decodeGif(file);
    ASSERT_EQ(full.frameCount, 1);
    file.resize(file.size() - 12);
    const IdleAnimation cut = decodeGif(file);
    ASSERT_EQ(cut.frameCount, 1);
    EXPECT_EQ(at(cut, 0, 0, 0), at(full, 0, 0, 0));
    EXPECT_EQ(at(cut, 0, 15, 15), opaque(0));
    // Cut inside the header and the screen descriptor: no frames, no fault.
    for (std::size_t n : {0u, 2u, 3u, 9u, 13u}) {
        EXPECT_EQ(decodeGif(std::span(file).first(n)).frameCount, 0) << n;
    }

    const std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    EXPECT_EQ(decodeGif(png).frameCount, 0);
    // A minimum code size no colour index fits leaves the image at index 0.
    GifWriter odd(2, 1, kColours);
    odd.control(kDisposeNone, 0, 3);
    odd.imageData(block(0, 0, 2, 1, 12), std::vector<std::uint8_t>{0xFF, 0xFF});
    const IdleAnimation zero = decodeGif(odd.finish());
    ASSERT_EQ(zero.frameCount, 1);
    EXPECT_EQ(at(zero, 0, 1, 0), opaque(0));
}

TEST(GifDecoder, LzwCodesUpToTwelveBitsAndFullTables) {
    // 256 colours of noise fill the table (and clear it) many times; long
    // runs make long strings.
    std::array<Colour, 256> colours{};
    for (std::size_t i = 0; i < colours.size(); ++i)
        colours[i] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i),
                      static_cast<std::uint8_t>(i * 7)};
    std::mt19937 random(7);
    std::vector<std::uint8_t> pixels(300 * 200);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = i < 30'000 ? static_cast<std::uint8_t>(random()) : static_cast<std::uint8_t>(i / 5000);
    GifWriter w(300, 200, colours);
    w.control(kDisposeNone, 0, 0);
    ImageBlock b = block(0, 0, 300, 200, 8);
    w.image(b, pixels);
    std::vector<std::uint8_t> file = w.finish();
    const IdleAnimation a = decodeGif(file);
    ASSERT_EQ(a.frameCount, 1);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        const Colour c = colours[pixels[i]];
        const Pixel want = pixels[i] == 0 ? kUntouched : Pixel{c.b, c.g, c.r, 255};
        wrong += at(a, 0, static_cast<int>(i % 300), static_cast<int>(i / 300)) != want;
    }
    EXPECT_EQ(wrong, 0u);
}

TEST(GifDecoder, TheIdleAnimationOfTheLibrary) {
    const IdleAnimation a = decodeGif(platform::findResource(platform::kIdleAnimationResource));
    EXPECT_EQ(a.width, 132);
    EXPECT_EQ(a.height, 86);
    ASSERT_EQ(a.frameCount, 17);
    for (int f = 0; f < a.frameCount; ++f) {
        const int next = (f + 1) % a.frameCount;
        EXPECT_NE(std::vector<std::uint8_t>(a.frame(f), a.frame(f) + a.frameBytes()),
                  std::vector<std::uint8_t>(a.frame(next), a.frame(next) + a.frameBytes()))
            << "frames " << f << " and " << next;
        std::size_t seeThrough = 0;
        for (std::size_t i = 3; i < a.frameBytes(); i += 4) seeThrough += a.frame(f)[i] != 255;
        EXPECT_EQ(seeThrough, 0u) << "frame " << f;  // every pixel drawn
    }
}

}  // namespace
}  // namespace tavin
