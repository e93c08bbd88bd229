// The preview through its exports, on the software Direct3D 9 backend, with
// pictures handed over through the writer side of the process's preview
// picture (as the publishing path does).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "engine.h"
#include "output/preview_picture.h"
#include "platform/d3d9_software.h"
#include "platform/display.h"
#include "support/child_process.h"

using namespace tavin;

namespace {

constexpr int32_t kOk = 0;
constexpr int32_t kFail = static_cast<int32_t>(0x80004005u);
constexpr int32_t kInvalidArg = static_cast<int32_t>(0x80070057u);
constexpr uint32_t kFormatX8R8G8B8 = 22;
constexpr uint32_t kFormatA8R8G8B8 = 21;

using Bgra = std::array<uint8_t, 4>;
constexpr Bgra kRed{0, 0, 255, 0x80};
constexpr Bgra kGreen{0, 255, 0, 0x80};
constexpr Bgra kBlue{255, 0, 0, 0x80};
constexpr Bgra kWhite{255, 255, 255, 0x80};

// Every test starts from no preview and no pending picture, with the
// default display list and Direct3D 9Ex.
class Preview : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        Destroy();
        unsetenv("TAVIN_DISPLAYS");
        unsetenv("TAVIN_D3D9");
        if (PreviewPicture::process().ready()) PreviewPicture::process().take();
    }

    static EnginePreviewSurface* surface(int32_t expected = kOk) {
        EnginePreviewSurface* s = reinterpret_cast<EnginePreviewSurface*>(1);
        EXPECT_EQ(GetBackBufferNoRef(&s), expected);
        return s;
    }

    // Writes a width x height picture as the publishing path does.
    static void publish(int width, int height, const std::function<Bgra(int, int)>& colour) {
        PreviewPicture& picture = PreviewPicture::process();
        uint8_t* pixels = picture.beginWrite();
        ASSERT_NE(pixels, nullptr);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                std::memcpy(pixels + (static_cast<size_t>(y) * width + x) * 4, colour(x, y).data(), 4);
            }
        }
        picture.finishWrite(width, height);
        ASSERT_TRUE(picture.ready());
    }

    static Bgra pixel(const EnginePreviewSurface* s, uint32_t x, uint32_t y) {
        Bgra p;
        std::memcpy(p.data(), s->bits + static_cast<size_t>(y) * s->pitch + x * 4, 4);
        return p;
    }
};

// Four quadrants, as a test can find them again after scaling.
Bgra quadrant(int x, int y, int width, int height) {
    if (y < height / 2) return x < width / 2 ? kRed : kGreen;
    return x < width / 2 ? kBlue : kWhite;
}

TEST_F(Preview, DefaultsAndSettingsRebuildOnlyTheRenderTargetsThatChanged) {
    EnginePreviewSurface* first = surface();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->width, 1024u);
    EXPECT_EQ(first->height, 1024u);
    EXPECT_EQ(first->pitch, 4096u);
    EXPECT_EQ(first->format, kFormatX8R8G8B8);
    EXPECT_EQ(first->lockable, 0u);  // 9Ex devices make render targets that cannot be locked
    EXPECT_EQ(first->reserved, 0u);
    ASSERT_NE(first->bits, nullptr);
    const uint8_t* firstBits = first->bits;

    // The current size, alpha and sample count change nothing.
    EXPECT_EQ(SetSize(1024, 1024), kOk);
    EXPECT_EQ(SetAlpha(0), kOk);
    EXPECT_EQ(SetNumDesiredSamples(0), kOk);
    EnginePreviewSurface* same = surface();
    EXPECT_EQ(same, first);
    EXPECT_EQ(same->bits, firstBits);

    // Sizes that would not fit sensibly are refused and change nothing.
    EXPECT_EQ(SetSize(0, 480), kInvalidArg);
    EXPECT_EQ(SetSize(640, 0), kInvalidArg);
    EXPECT_EQ(SetSize(16385, 16), kInvalidArg);
    EXPECT_EQ(SetSize(16, 0xFFFFFFFFu), kInvalidArg);
    EXPECT_EQ(surface(), first);

    EXPECT_EQ(SetSize(640, 480), kOk);
    EnginePreviewSurface* resized = surface();
    ASSERT_NE(resized, nullptr);
    EXPECT_NE(resized, first);
    EXPECT_EQ(resized->width, 640u);
    EXPECT_EQ(resized->height, 480u);
    EXPECT_EQ(resized->pitch, 2560u);

    EXPECT_EQ(SetAlpha(7), kOk);
    EnginePreviewSurface* alpha = surface();
    ASSERT_NE(alpha, nullptr);
    EXPECT_NE(alpha, resized);
    EXPECT_EQ(alpha->format, kFormatA8R8G8B8);
    EXPECT_EQ(alpha->width, 640u);

    // Destroy forgets the settings.
    Destroy();
    EnginePreviewSurface* fresh = surface();
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->width, 1024u);
    EXPECT_EQ(fresh->height, 1024u);
    EXPECT_EQ(fresh->format, kFormatX8R8G8B8);
}

TEST_F(Preview, MultisamplingFallsBackAndPlainDirect3DMakesLockableTargets) {
    EXPECT_EQ(SetNumDesiredSamples(4), kOk);
    EnginePreviewSurface* ex = surface();
    ASSERT_NE(ex, nullptr);
    EXPECT_EQ(ex->lockable, 0u);

    Destroy();
    setenv("TAVIN_D3D9", "9", 1);
    EXPECT_EQ(SetNumDesiredSamples(4), kOk);
    EnginePreviewSurface* plain = surface();
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->lockable, 1u);
    EXPECT_EQ(plain->width, 1024u);
}

TEST_F(Preview, WithoutDirect3DOrMonitorsThereIsNoSurface) {
    EXPECT_EQ(Render(), kOk);  // before anything exists
    setenv("TAVIN_D3D9", "absent", 1);
    EXPECT_EQ(surface(kFail), nullptr);
    EXPECT_EQ(Render(), kOk);
    EXPECT_EQ(GetBackBufferNoRef(nullptr), static_cast<int32_t>(0x80004003u));  // E_POINTER

    Destroy();
    unsetenv("TAVIN_D3D9");
    setenv("TAVIN_DISPLAYS", "", 1);
    EXPECT_EQ(surface(kOk), nullptr);
    EXPECT_EQ(Render(), kOk);
}

TEST_F(Preview, TheAdapterOfTheHostsWindowIsHandedOut) {
    setenv("TAVIN_DISPLAYS", "1920x1080+0+0;1280x1024+1920+0", 1);
    // Before any device exists the point changes nothing.
    EXPECT_EQ(SetAdapter(2000, 10), kOk);
    EnginePreviewSurface* first = surface();
    ASSERT_NE(first, nullptr);

    EXPECT_EQ(SetAdapter(2000, 10), kOk);
    EnginePreviewSurface* second = surface();
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);

    // A point on no monitor leaves the adapter as it is.
    EXPECT_EQ(SetAdapter(3200, 10), kOk);
    EXPECT_EQ(SetAdapter(-1, 500), kOk);
    EXPECT_EQ(surface(), second);

    EXPECT_EQ(SetAdapter(1919, 1079), kOk);
    EXPECT_EQ(surface(), first);

    // Only the current adapter's target shows new pictures.
    publish(8, 8, [](int, int) { return kGreen; });
    EXPECT_EQ(Render(), kOk);
    EXPECT_EQ(pixel(first, 0, 0)[1], 255);
    EXPECT_EQ(pixel(second, 0, 0)[1], 0);
}

TEST_F(Preview, ADisplayChangeRebuildsTheDevicesOnTheNextRequest) {
    EnginePreviewSurface* first = surface();
    ASSERT_NE(first, nullptr);

    // The new display list is read when the devices are made again.
    setenv("TAVIN_DISPLAYS", "800x600+0+0;800x600+800+0", 1);
    platform::notifyDisplayChange();
    EXPECT_EQ(surface(kOk), nullptr);
    EXPECT_EQ(Render(), kOk);
    EnginePreviewSurface* rebuilt = surface();
    ASSERT_NE(rebuilt, nullptr);
    EXPECT_EQ(rebuilt->width, 1024u);
    EXPECT_EQ(SetAdapter(900, 0), kOk);
    EnginePreviewSurface* other = surface();
    EXPECT_NE(other, rebuilt);
    EXPECT_NE(other, nullptr);

    // Without a preview the notification reaches nobody.
    Destroy();
    platform::notifyDisplayChange();
    EXPECT_NE(surface(), nullptr);
}

TEST_F(Preview, LostDevicesAreTornDownAndRebuilt) {
    EnginePreviewSurface* first = surface();
    ASSERT_NE(first, nullptr);

    platform::d3d9::notifyDeviceLost();
    EnginePreviewSurface* rebuilt = surface();
    ASSERT_NE(rebuilt, nullptr);
    EXPECT_NE(rebuilt, first);
    publish(4, 4, [](int, int) { return kWhite; });
    EXPECT_EQ(Render(), kOk);
    EXPECT_EQ(pixel(rebuilt, 1023, 1023), (Bgra{255, 255, 255, 0x80}));

    // While devices cannot be made the host gets S_OK and no surface, and
    // asks again.
    platform::d3d9::notifyDeviceLost(1);
    EXPECT_EQ(surface(kOk), nullptr);
    EnginePreviewSurface* again = surface();
    ASSERT_NE(again, nullptr);

    // SetAdapter finds the loss too; Render then has nothing to draw on.
    platform::d3d9::notifyDeviceLost();
    EXPECT_EQ(SetAdapter(0, 0), kOk);
    publish(4, 4, [](int, int) { return kRed; });
    EXPECT_EQ(Render(), kOk);
    EXPECT_TRUE(PreviewPicture::process().ready());  // not taken
    EnginePreviewSurface* last = surface();
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(Render(), kOk);
    EXPECT_EQ(pixel(last, 512, 512), kRed);
}

TEST_F(Preview, RenderCopiesEachNewPictureOnce) {
    EXPECT_EQ(SetSize(64, 32), kOk);
    EnginePreviewSurface* s = surface();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(pixel(s, 10, 10), (Bgra{0, 0, 0, 0}));  // black before the first picture
    EXPECT_EQ(Render(), kOk);

    publish(64, 32, [](int x, int y) { return quadrant(x, y, 64, 32); });
    EXPECT_EQ(Render(), kOk);
    EXPECT_FALSE(PreviewPicture::process().ready());  // handed back to the writer
    EXPECT_EQ(pixel(s, 0, 0), kRed);
    EXPECT_EQ(pixel(s, 63, 0), kGreen);
    EXPECT_EQ(pixel(s, 0, 31), kBlue);
    EXPECT_EQ(pixel(s, 63, 31), kWhite);

    // Bytes written without setting the ready flag are not copied.
    uint8_t* pixels = PreviewPicture::process().beginWrite();
    ASSERT_NE(pixels, nullptr);
    std::memset(pixels, 0x11, 64 * 32 * 4);
    EXPECT_EQ(Render(), kOk);
    EXPECT_EQ(pixel(s, 0, 0), kRed);
    PreviewPicture::process().finishWrite(64, 32);
    EXPECT_EQ(Render(), kOk);
    EXPECT_EQ(pixel(s, 0, 0), (Bgra{0x11, 0x11, 0x11, 0x11}));
}

TEST_F(Preview, AHalvedUltraHdPictureIsStretchedToTheSurface) {
    // A 3840 x 2160 stream reaches the preview as 1920 x 1080.
    EXPECT_EQ(SetAlpha(1), kOk);
    EnginePreviewSurface* s = surface();
    ASSERT_NE(s, nullptr);
    publish(1920, 1080, [](int x, int y) { return quadrant(x, y, 1920, 1080); });
    EXPECT_EQ(Render(), kOk);

    // The picture surface has no alpha: the target's pixels are opaque.
    const Bgra opaqueRed{0, 0, 255, 255}, opaqueGreen{0, 255, 0, 255}, opaqueBlue{255, 0, 0, 255},
        opaqueWhite{255, 255, 255, 255};
    EXPECT_EQ(pixel(s, 0, 0), opaqueRed);
    EXPECT_EQ(pixel(s, 511, 511), opaqueRed);
    EXPECT_EQ(pixel(s, 512, 0), opaqueGreen);
    EXPECT_EQ(pixel(s, 1023, 511), opaqueGreen);
    EXPECT_EQ(pixel(s, 0, 512), opaqueBlue);
    EXPECT_EQ(pixel(s, 511, 1023), opaqueBlue);
    EXPECT_EQ(pixel(s, 512, 512), opaqueWhite);
    EXPECT_EQ(pixel(s, 1023, 1023), opaqueWhite);

    // A smaller picture next reuses nothing of the larger one.
    publish(2, 2, [](int x, int y) { return quadrant(x, y, 2, 2); });
    EXPECT_EQ(Render(), kOk);
    EXPECT_EQ(pixel(s, 100, 900), opaqueBlue);
}

TEST(PreviewHost, TheHostProgramSavesThePreviewAsPng) {
    // Without slots the preview still runs: a black default surface.
    test::TempDir dir;
    const std::string png = dir.path() + "/preview.png";
    test::ChildProcess host({test::toolPath("host"), "--count", "0", "--seconds", "1", "--preview", png});
    ASSERT_TRUE(host.waitForLine("preview " + png + " 1024x1024"));
    EXPECT_EQ(host.stop(), 0);
    std::ifstream file(png, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    ASSERT_GT(bytes.size(), 24u);
    EXPECT_EQ(std::memcmp(bytes.data(), "\x89PNG\r\n\x1a\n", 8), 0);
    EXPECT_EQ(std::memcmp(bytes.data() + 12, "IHDR\0\0\x04\0\0\0\x04\0", 12), 0);  // 1024 x 1024
}

}  // namespace
