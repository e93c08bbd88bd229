// One adapter's preview: a Direct3D 9 device with the render target handed
// to the host, and the picture surface the newest preview picture is copied
// into before it is stretched onto the render target.
#pragma once

#include <cstdint>
#include <memory>

#include "engine.h"
#include "platform/d3d9.h"

namespace tavin {

class PreviewPicture;

// A render target as the host receives it: the surface and its description.
// Shared, so that the one last handed out outlives a teardown until the
// host asks again.
struct HostSurface {
    std::shared_ptr<platform::d3d9::Surface> surface;
    EnginePreviewSurface view{};
};

class PreviewRenderer {
public:
    using HResult = platform::d3d9::HResult;

    virtual ~PreviewRenderer() = default;
    // Draws onto render target 0.
    virtual HResult Render() = 0;
    // Creates the device on the adapter: with CreateDeviceEx when d3dEx is
    // given, else with CreateDevice.
    virtual HResult Init(const std::shared_ptr<platform::d3d9::Direct3D>& d3d,
                         const std::shared_ptr<platform::d3d9::Direct3DEx>& d3dEx,
                         const platform::HiddenWindow* focusWindow, std::uint32_t adapter);

    // The device's state: CheckDeviceState with 9Ex, else
    // TestCooperativeLevel; E_FAIL without a device.
    HResult testDevice();
    // Releases the render target, creates a new one (lockable exactly when
    // the device has no 9Ex) and makes it render target 0. On a failure the
    // renderer is left without one.
    HResult rebuildRenderTarget(std::uint32_t width, std::uint32_t height, platform::d3d9::Format format,
                                platform::d3d9::MultisampleType samples);
    // Null while there is none.
    const std::shared_ptr<HostSurface>& renderTarget() const { return renderTarget_; }

protected:
    std::shared_ptr<platform::d3d9::Device> device_;
    std::shared_ptr<platform::d3d9::DeviceEx> deviceEx_;
    std::shared_ptr<HostSurface> renderTarget_;
    std::shared_ptr<platform::d3d9::Surface> pictureSurface_;
    std::int32_t pictureWidth_ = 0;
    std::int32_t pictureHeight_ = 0;
};

// The renderer the preview uses: copies the process's preview picture.
class PictureRenderer final : public PreviewRenderer {
public:
    explicit PictureRenderer(PreviewPicture& picture) : picture_(picture) {}

    // The device, then its render states (no culling, no lighting).
    HResult Init(const std::shared_ptr<platform::d3d9::Direct3D>& d3d,
                 const std::shared_ptr<platform::d3d9::Direct3DEx>& d3dEx, const platform::HiddenWindow* focusWindow,
                 std::uint32_t adapter) override;
    // When a new picture is ready: copies it into the picture surface,
    // stretches that onto render target 0 and hands the picture back to the
    // writer. Nothing happens (S_OK) without a new picture; a failure
    // returns with the picture still held, to be tried again.
    HResult Render() override;

private:
    PreviewPicture& picture_;
};

}  // namespace tavin
