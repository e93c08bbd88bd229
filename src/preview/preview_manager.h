// The preview: one renderer per display adapter, the render target of the
// adapter showing the host's window handed to the host, and the settings
// the render targets are made with. The exports drive one manager; all its
// operations run on the host's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine.h"
#include "platform/d3d9.h"
#include "platform/display.h"
#include "preview/preview_renderer.h"

namespace tavin {

class PreviewPicture;

class PreviewManager {
public:
    using HResult = platform::d3d9::HResult;

    static constexpr std::uint32_t kDefaultWidth = 1024;
    static constexpr std::uint32_t kDefaultHeight = 1024;
    // The largest side the host may ask for: 16384 x 16384 x 4 bytes is
    // already a gigabyte per adapter.
    static constexpr std::uint32_t kMaxSide = 16384;
    // The class of the hidden focus window.
    static constexpr const char* kWindowClass = "99E0F3C2AFD54D";

    // Renders `picture`, which must outlive the manager.
    explicit PreviewManager(PreviewPicture& picture);
    // Tears the devices down and destroys the window.
    ~PreviewManager();
    PreviewManager(const PreviewManager&) = delete;
    PreviewManager& operator=(const PreviewManager&) = delete;

    // Settings: a changed value is used from the next getBackBuffer().
    // setSize refuses 0 and sides above kMaxSide with E_INVALIDARG.
    HResult setSize(std::uint32_t width, std::uint32_t height);
    HResult setAlpha(bool alpha);
    HResult setNumDesiredSamples(std::uint32_t count);
    // Tests the devices, then makes current the renderer of the adapter
    // whose monitor contains the point (none: unchanged).
    HResult setAdapter(std::int32_t x, std::int32_t y);
    // The current render target, creating or rebuilding what is needed.
    HResult getBackBuffer(EnginePreviewSurface** surface);
    // The current renderer's Render; S_OK without one.
    HResult render();

private:
    static void windowProcedure(void* context, std::uint32_t message);

    HResult createDirect3D();
    HResult createRenderers();
    HResult rebuildRenderTargets();
    void testDevices();
    void tearDown();

    PreviewPicture& picture_;
    std::shared_ptr<platform::d3d9::Direct3D> d3d_;
    std::shared_ptr<platform::d3d9::Direct3DEx> d3dEx_;
    std::uint32_t adapterCount_ = 0;
    std::vector<std::unique_ptr<PreviewRenderer>> renderers_;  // one per adapter
    bool renderersMade_ = false;
    PreviewRenderer* current_ = nullptr;
    std::unique_ptr<platform::HiddenWindow> window_;
    std::uint32_t width_ = kDefaultWidth;
    std::uint32_t height_ = kDefaultHeight;
    std::uint32_t desiredSamples_ = 0;
    bool alpha_ = false;
    bool settingsChanged_ = true;
    // Set by the window procedure on a display change.
    std::atomic<bool> displayChanged_{false};
    // The render target last handed to the host, kept alive until the host
    // receives another pointer.
    std::shared_ptr<HostSurface> handed_;
};

}  // namespace tavin
