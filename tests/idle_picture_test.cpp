// The idle and blank pictures in every pixel kind and row order, drawn with
// the idle animation linked into the library.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "output/driver_layout.h"
#include "output/idle_picture.h"
#include "platform/resources.h"

namespace tavin {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes copy(std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); }

class IdlePictureTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(idle_.load(platform::findResource(platform::kIdleAnimationResource)), 17);
    }
    // The kind-0 picture, top-down rows of 3 x width bytes.
    Bytes bgr(int width, int height, std::uint64_t frame) {
        return copy(idle_.draw(width, height, driver::kBgr24, frame));
    }

    // Checks a top-down BGR picture: the animation frame at (x, y), text
    // of RGB(250, 250, 250) within rows top..top+50, black everywhere else.
    void expectIdleLayout(const Bytes& picture, int width, int height, int frame, int x, int y, int textTop) {
        const IdleAnimation& a = idle_.animation();
        ASSERT_EQ(picture.size(), 3u * static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
        std::size_t wrongAnimation = 0, textPixels = 0, strayPixels = 0;
        for (int py = 0; py < height; ++py) {
            for (int px = 0; px < width; ++px) {
                const std::uint8_t* p = picture.data() + 3 * (static_cast<std::size_t>(py) * width + px);
                if (px >= x && px < x + a.width && py >= y && py < y + a.height) {
                    const std::uint8_t* f =
                        a.frame(frame) + 4 * (static_cast<std::size_t>(py - y) * a.width + (px - x));
                    wrongAnimation += p[0] != f[0] || p[1] != f[1] || p[2] != f[2];
                } else if (p[0] == 250 && p[1] == 250 && p[2] == 250 && py >= textTop && py < textTop + 50) {
                    ++textPixels;
                } else {
                    strayPixels += p[0] != 0 || p[1] != 0 || p[2] != 0;
                }
            }
        }
        EXPECT_EQ(wrongAnimation, 0u);
        EXPECT_GT(textPixels, 500u);
        EXPECT_EQ(strayPixels, 0u);
    }

    IdlePicture idle_;
};

TEST_F(IdlePictureTest, AnimationAboveTheCentreAndTextBelowIt) {
    const Bytes first = bgr(640, 360, 0);
    expectIdleLayout(first, 640, 360, 0, 254, 80, 180);
    EXPECT_EQ(bgr(640, 360, 17), first);  // the 18th picture shows frame 0 again
    EXPECT_NE(bgr(640, 360, 1), first);
    // Rows padded on the surface (3 x 642 is not a multiple of 4) still
    // come out packed.
    expectIdleLayout(bgr(642, 360, 5), 642, 360, 5, 255, 80, 180);
}

// Luma (limited range, BT.601) of a B, G, R pixel, as swscale computes it.
double luma(const std::uint8_t* bgrPixel) {
    return 16.0 + (65.481 * bgrPixel[2] + 128.553 * bgrPixel[1] + 24.966 * bgrPixel[0]) / 255.0;
}

TEST_F(IdlePictureTest, EveryKindAndRowOrderShowsTheSamePicture) {
    constexpr int kW = 642, kH = 360;
    const Bytes reference = bgr(kW, kH, 3);
    const std::size_t row = 3 * kW;
    auto referenceRow = [&](int y) { return reference.data() + static_cast<std::size_t>(y) * row; };

    const Bytes bottomUp = copy(idle_.draw(kW, -kH, driver::kBgr24, 3));
    ASSERT_EQ(bottomUp.size(), reference.size());
    for (int y = 0; y < kH; ++y) {
        const std::uint8_t* stored = bottomUp.data() + static_cast<std::size_t>(kH - 1 - y) * row;
        ASSERT_EQ(std::memcmp(stored, referenceRow(y), row), 0) << y;
    }

    for (int sign : {1, -1}) {
        SCOPED_TRACE(sign);
        const Bytes argb = copy(idle_.draw(kW, sign * kH, driver::kArgb, 3));
        ASSERT_EQ(argb.size(), 4u * kW * kH);
        std::size_t wrong = 0;
        for (int y = 0; y < kH; ++y) {
            const std::uint8_t* out = argb.data() + 4 * static_cast<std::size_t>(sign > 0 ? y : kH - 1 - y) * kW;
            for (int x = 0; x < kW; ++x) {
                const std::uint8_t* want = referenceRow(y) + 3 * x;
                wrong += out[4 * x] != 255 || out[4 * x + 1] != want[2] || out[4 * x + 2] != want[1] ||
                         out[4 * x + 3] != want[0];
            }
        }
        EXPECT_EQ(wrong, 0u);
    }

    // YUY2 and I420 rows are top-down: their luma follows the picture (a
    // picture upside down would differ by far more).
    const Bytes yuy2 = copy(idle_.draw(kW, kH, driver::kYuy2, 3));
    const Bytes i420 = copy(idle_.draw(kW, kH, driver::kI420, 3));
    ASSERT_EQ(yuy2.size(), 2u * kW * kH);
    ASSERT_EQ(i420.size(), 3u * kW * kH / 2);
    double worstYuy2 = 0, worstI420 = 0;
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            const double want = luma(referenceRow(y) + 3 * x);
            const std::size_t at = static_cast<std::size_t>(y) * kW + x;
            worstYuy2 = std::max(worstYuy2, std::fabs(yuy2[2 * at] - want));
            worstI420 = std::max(worstI420, std::fabs(i420[at] - want));
        }
    }
    EXPECT_LE(worstYuy2, 2.0);
    EXPECT_LE(worstI420, 2.0);
}

TEST_F(IdlePictureTest, BlankGreenInKindsZeroAndOne) {
    const Bytes bgrBlank = copy(idle_.blank(6, -4, driver::kBgr24));
    ASSERT_EQ(bgrBlank.size(), 72u);
    for (std::size_t i = 0; i < bgrBlank.size(); i += 3) {
        ASSERT_EQ(bgrBlank[i], 0x00);
        ASSERT_EQ(bgrBlank[i + 1], 0xB1);
        ASSERT_EQ(bgrBlank[i + 2], 0x40);
    }
    const Bytes yuy2Blank = copy(idle_.blank(6, 4, driver::kYuy2));
    ASSERT_EQ(yuy2Blank.size(), 48u);
    for (std::size_t i = 0; i < yuy2Blank.size(); i += 4) {
        ASSERT_EQ(yuy2Blank[i], 111);
        ASSERT_EQ(yuy2Blank[i + 1], 101);
        ASSERT_EQ(yuy2Blank[i + 2], 111);
        ASSERT_EQ(yuy2Blank[i + 3], 48);
    }
    EXPECT_TRUE(idle_.blank(6, 4, driver::kI420).empty());
    EXPECT_TRUE(idle_.blank(6, 4, driver::kArgb).empty());
}

TEST_F(IdlePictureTest, FormatsNoSlotHoldsAndPicturesWithoutAnimation) {
    EXPECT_TRUE(idle_.draw(640, 0, driver::kBgr24, 0).empty());
    EXPECT_TRUE(idle_.draw(0, 360, driver::kYuy2, 0).empty());
    EXPECT_TRUE(idle_.draw(640, 360, 4, 0).empty());
    EXPECT_TRUE(idle_.draw(3840, 2160, driver::kArgb, 0).empty());  // beyond a slot's pixel area
    EXPECT_TRUE(idle_.blank(640, std::numeric_limits<std::int32_t>::min(), driver::kBgr24).empty());
    // Smaller than the animation: it is cut at the picture's edges.
    EXPECT_EQ(idle_.draw(8, 6, driver::kI420, 0).size(), 72u);
    EXPECT_EQ(idle_.draw(7, 5, driver::kYuy2, 0).size(), 70u);

    // Data that is not a GIF: the text alone.
    const std::uint8_t notGif[] = {'G', 'I', 'X', '8', '9', 'a'};
    EXPECT_EQ(idle_.load(notGif), 0);
    const Bytes textOnly = copy(idle_.draw(640, 360, driver::kBgr24, 9));
    ASSERT_EQ(textOnly.size(), 3u * 640 * 360);
    std::size_t lit = 0, outsideText = 0;
    for (std::size_t i = 0; i < textOnly.size(); i += 3) {
        const std::size_t y = i / (3 * 640);
        if (textOnly[i] == 0) continue;
        ++lit;
        outsideText += y < 180 || y >= 230;
    }
    EXPECT_GT(lit, 500u);
    EXPECT_EQ(outsideText, 0u);
}

}  // namespace
}  // namespace tavin
