// The software Direct3D 9 backend and the display list it takes its
// adapters from.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>

#include "platform/d3d9.h"
#include "platform/d3d9_software.h"
#include "platform/display.h"

using namespace tavin::platform;
using namespace tavin::platform::d3d9;

namespace {

TEST(DisplayList, EntriesParseAndBadOnesAreSkipped) {
    EXPECT_EQ(parseDisplayList("1920x1080+0+0"), (std::vector<MonitorRect>{{0, 0, 1920, 1080}}));
    EXPECT_EQ(parseDisplayList("1280x1024-1280+0;800x600+0-600"),
              (std::vector<MonitorRect>{{-1280, 0, 1280, 1024}, {0, -600, 800, 600}}));
    EXPECT_TRUE(parseDisplayList("").empty());
    // Malformed, empty, or beyond 32-bit coordinates: skipped.
    EXPECT_EQ(parseDisplayList("garbage;0x600+0+0;;1920x1080;10x10+2147483640+0;640x480+1+2;x+0+0;5x5++1+1"),
              (std::vector<MonitorRect>{{1, 2, 640, 480}}));
    std::string many;
    for (int i = 0; i < 40; ++i) many += "10x10+" + std::to_string(i * 10) + "+0;";
    EXPECT_EQ(parseDisplayList(many).size(), kMaxMonitors);
}

TEST(DisplayList, MonitorFromPointUsesTheListReadLast) {
    setenv("TAVIN_DISPLAYS", "100x100+0+0;50x50-50+0", 1);
    refreshDisplays();
    EXPECT_EQ(monitorFromPoint(0, 0), monitorOfDisplay(0));
    EXPECT_EQ(monitorFromPoint(99, 99), monitorOfDisplay(0));
    EXPECT_EQ(monitorFromPoint(-1, 49), monitorOfDisplay(1));
    EXPECT_EQ(monitorFromPoint(100, 0), kNoMonitor);
    EXPECT_EQ(monitorFromPoint(-51, 0), kNoMonitor);
    EXPECT_EQ(monitorOfDisplay(2), kNoMonitor);
    unsetenv("TAVIN_DISPLAYS");
    refreshDisplays();
    EXPECT_EQ(displays(), (std::vector<MonitorRect>{{0, 0, 1920, 1080}}));
}

TEST(HiddenWindows, AClassIsRegisteredOnceAndHearsDisplayChanges) {
    int heard = 0;
    auto procedure = [](void* context, std::uint32_t message) {
        if (message == kWmDisplayChange) ++*static_cast<int*>(context);
    };
    auto window = HiddenWindow::create("test-class", procedure, &heard);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(HiddenWindow::create("test-class", procedure, &heard), nullptr);
    notifyDisplayChange();
    EXPECT_EQ(heard, 1);
    window.reset();
    notifyDisplayChange();
    EXPECT_EQ(heard, 1);
    EXPECT_NE(HiddenWindow::create("test-class", procedure, &heard), nullptr);
}

class SoftwareDevice : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("TAVIN_DISPLAYS");
        unsetenv("TAVIN_D3D9");
        window_ = HiddenWindow::create("d3d9-test", [](void*, std::uint32_t) {}, nullptr);
        ASSERT_NE(window_, nullptr);
        auto module = Module::load();
        ASSERT_NE(module, nullptr);
        ASSERT_TRUE(module->hasCreate9Ex());
        ASSERT_EQ(module->Direct3DCreate9Ex(kSdkVersion, &d3d_), kOk);
        PresentParameters parameters;
        EXPECT_EQ(d3d_->CreateDeviceEx(0, DeviceType::Hal, window_.get(), kCreateMultithreaded, &parameters, &device_),
                  kInvalidCall);  // no vertex processing chosen
        ASSERT_EQ(d3d_->CreateDeviceEx(0, DeviceType::Hal, window_.get(), kCreateSoftwareVertexProcessing,
                                       &parameters, &device_),
                  kOk);
    }

    std::unique_ptr<HiddenWindow> window_;
    std::shared_ptr<Direct3DEx> d3d_;
    std::shared_ptr<DeviceEx> device_;
};

TEST_F(SoftwareDevice, SurfacesAreBoundedAndLockedOnlyWhereAllowed) {
    std::shared_ptr<Surface> target;
    EXPECT_EQ(device_->CreateRenderTarget(0, 10, Format::X8R8G8B8, kMultisampleNone, 0, Lockable::No, &target),
              kInvalidCall);
    EXPECT_EQ(device_->CreateRenderTarget(kMaxSurfaceSide + 1, 10, Format::X8R8G8B8, kMultisampleNone, 0,
                                          Lockable::No, &target),
              kInvalidCall);
    EXPECT_EQ(device_->CreateRenderTarget(10, 10, Format::X8R8G8B8, 4, 0, Lockable::No, &target), kNotAvailable);
    EXPECT_EQ(d3d_->CheckDeviceMultiSampleType(0, DeviceType::Hal, Format::X8R8G8B8, true, 4, nullptr),
              kNotAvailable);
    EXPECT_EQ(target, nullptr);

    ASSERT_EQ(device_->CreateRenderTarget(10, 10, Format::X8R8G8B8, kMultisampleNone, 0, Lockable::No, &target), kOk);
    LockedRect locked;
    EXPECT_EQ(target->LockRect(&locked, nullptr, 0), kInvalidCall);

    std::shared_ptr<Surface> plain;
    ASSERT_EQ(device_->CreateOffscreenPlainSurface(4, 3, Format::X8R8G8B8, Pool::Default, &plain), kOk);
    const Rect outside{2, 0, 5, 3};
    EXPECT_EQ(plain->LockRect(&locked, &outside, 0), kInvalidCall);
    const Rect part{1, 1, 3, 3};
    ASSERT_EQ(plain->LockRect(&locked, &part, 0), kOk);
    EXPECT_EQ(locked.pitch, 16);
    EXPECT_EQ(locked.bits, plain->hostBits() + 16 + 4);
    EXPECT_EQ(plain->LockRect(&locked, nullptr, 0), kInvalidCall);  // already locked
    // A locked surface cannot be copied from.
    EXPECT_EQ(device_->StretchRect(plain.get(), nullptr, target.get(), nullptr, TextureFilter::None), kInvalidCall);
    EXPECT_EQ(plain->UnlockRect(), kOk);
    EXPECT_EQ(plain->UnlockRect(), kInvalidCall);

    // Only render targets receive a StretchRect, and rectangles stay inside.
    EXPECT_EQ(device_->StretchRect(target.get(), nullptr, plain.get(), nullptr, TextureFilter::None), kInvalidCall);
    EXPECT_EQ(device_->StretchRect(plain.get(), &outside, target.get(), nullptr, TextureFilter::None), kInvalidCall);
    const Rect empty{1, 1, 1, 3};
    EXPECT_EQ(device_->StretchRect(plain.get(), &empty, target.get(), nullptr, TextureFilter::None), kInvalidCall);
    EXPECT_EQ(device_->StretchRect(plain.get(), nullptr, target.get(), nullptr, TextureFilter::None), kOk);
}

TEST_F(SoftwareDevice, StretchRectTakesTheNearestPixelIntoTheDestinationRectangle) {
    // A 3 x 2 source with a distinct value per pixel, into a 7 x 5 part of a
    // 9 x 6 target (scaled up unevenly in both directions).
    std::shared_ptr<Surface> source, target;
    ASSERT_EQ(device_->CreateOffscreenPlainSurface(3, 2, Format::X8R8G8B8, Pool::Default, &source), kOk);
    ASSERT_EQ(device_->CreateRenderTarget(9, 6, Format::X8R8G8B8, kMultisampleNone, 0, Lockable::No, &target), kOk);
    LockedRect locked;
    ASSERT_EQ(source->LockRect(&locked, nullptr, 0), kOk);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) std::memset(locked.bits + y * locked.pitch + x * 4, 10 * y + x + 1, 4);
    ASSERT_EQ(source->UnlockRect(), kOk);
    const Rect to{1, 1, 8, 6};
    ASSERT_EQ(device_->StretchRect(source.get(), nullptr, target.get(), &to, TextureFilter::None), kOk);

    // Source column of destination column x: 0,0,1,1,1,2,2; rows: 0,0,1,1,1
    // (the pixel under each centre); outside the rectangle stays black.
    const char* expected[6] = {
        ".........",
        ".1122233.",
        ".1122233.",
        ".BBCCCDD.",
        ".BBCCCDD.",
        ".BBCCCDD.",
    };
    const std::uint8_t* bits = target->hostBits();
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 9; ++x) {
            const char c = expected[y][x];
            const int value = c == '.' ? 0 : (c <= '9' ? c - '0' : c - 'A' + 10);
            EXPECT_EQ(bits[(y * 9 + x) * 4], value) << "at " << x << "," << y;
        }
    }

    // Shrinking a same-width source only drops rows.
    std::shared_ptr<Surface> tall;
    ASSERT_EQ(device_->CreateOffscreenPlainSurface(9, 12, Format::X8R8G8B8, Pool::Default, &tall), kOk);
    ASSERT_EQ(tall->LockRect(&locked, nullptr, 0), kOk);
    for (int y = 0; y < 12; ++y) std::memset(locked.bits + y * locked.pitch, y + 100, 36);
    ASSERT_EQ(tall->UnlockRect(), kOk);
    ASSERT_EQ(device_->StretchRect(tall.get(), nullptr, target.get(), nullptr, TextureFilter::None), kOk);
    for (int y = 0; y < 6; ++y) EXPECT_EQ(bits[y * 36 + 8], 100 + 2 * y + 1);
}

TEST_F(SoftwareDevice, ALostDeviceSaysSoAndCreationsMayFail) {
    EXPECT_EQ(device_->CheckDeviceState(nullptr), kOk);
    std::shared_ptr<Device> plainDevice;
    PresentParameters parameters;
    ASSERT_EQ(d3d_->CreateDevice(0, DeviceType::Hal, window_.get(), kCreateSoftwareVertexProcessing, &parameters,
                                 &plainDevice),
              kOk);
    notifyDeviceLost(1);
    EXPECT_EQ(device_->CheckDeviceState(nullptr), kDeviceLost);
    EXPECT_EQ(plainDevice->TestCooperativeLevel(), kDeviceLost);
    std::shared_ptr<DeviceEx> next;
    EXPECT_EQ(d3d_->CreateDeviceEx(0, DeviceType::Hal, window_.get(), kCreateSoftwareVertexProcessing, &parameters,
                                   &next),
              kDeviceLost);
    ASSERT_EQ(d3d_->CreateDeviceEx(0, DeviceType::Hal, window_.get(), kCreateSoftwareVertexProcessing, &parameters,
                                   &next),
              kOk);
    EXPECT_EQ(next->CheckDeviceState(nullptr), kOk);
    // A device needs a window and an adapter that exists.
    EXPECT_EQ(d3d_->CreateDeviceEx(0, DeviceType::Hal, nullptr, kCreateSoftwareVertexProcessing, &parameters, &next),
              kInvalidCall);
    EXPECT_EQ(d3d_->CreateDeviceEx(1, DeviceType::Hal, window_.get(), kCreateSoftwareVertexProcessing, &parameters,
                                   &next),
              kInvalidCall);
}

}  // namespace
