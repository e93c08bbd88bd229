#include "preview/preview_manager.h"

#include <utility>

namespace tavin {

namespace d3d9 = platform::d3d9;

PreviewManager::PreviewManager(PreviewPicture& picture) : picture_(picture) {}

PreviewManager::~PreviewManager() {
    tearDown();
    window_.reset();
}

void PreviewManager::windowProcedure(void* context, std::uint32_t message) {
    if (message == platform::kWmDisplayChange) {
        static_cast<PreviewManager*>(context)->displayChanged_.store(true);
    }
}

PreviewManager::HResult PreviewManager::setSize(std::uint32_t width, std::uint32_t height) {
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return d3d9::kInvalidArg;
    if (width != width_ || height != height_) {
        width_ = width;
        height_ = height;
        settingsChanged_ = true;
    }
    return d3d9::kOk;
}

PreviewManager::HResult PreviewManager::setAlpha(bool alpha) {
    if (alpha != alpha_) {
        alpha_ = alpha;
        settingsChanged_ = true;
    }
    return d3d9::kOk;
}

PreviewManager::HResult PreviewManager::setNumDesiredSamples(std::uint32_t count) {
    if (count != desiredSamples_) {
        desiredSamples_ = count;
        settingsChanged_ = true;
    }
    return d3d9::kOk;
}

PreviewManager::HResult PreviewManager::setAdapter(std::int32_t x, std::int32_t y) {
    testDevices();
    if (!d3d_ || !renderersMade_) return d3d9::kOk;
    const platform::MonitorHandle monitor = platform::monitorFromPoint(x, y);
    if (monitor == platform::kNoMonitor) return d3d9::kOk;
    for (std::uint32_t adapter = 0; adapter < adapterCount_ && adapter < renderers_.size(); ++adapter) {
        if (d3d_->GetAdapterMonitor(adapter) == monitor) {
            current_ = renderers_[adapter].get();
            break;
        }
    }
    return d3d9::kOk;
}

PreviewManager::HResult PreviewManager::getBackBuffer(EnginePreviewSurface** surface) {
    if (!surface) return d3d9::kPointer;
    *surface = nullptr;
    if (displayChanged_.exchange(false)) {
        // The host asks again and gets new devices.
        tearDown();
        handed_.reset();
        return d3d9::kOk;
    }
    testDevices();

    HResult result = d3d9::kOk;
    if (!d3d_) result = createDirect3D();
    if (!d3d9::failed(result) && !renderersMade_) result = createRenderers();
    if (!d3d9::failed(result) && settingsChanged_) result = rebuildRenderTargets();

    // A lost device is no failure for the host: it gets what is current
    // (possibly nothing) and asks again.
    const bool lost = result == d3d9::kDeviceLost;
    if (d3d9::failed(result) && !lost) {
        handed_.reset();
        return result;
    }
    handed_ = current_ ? current_->renderTarget() : nullptr;
    *surface = handed_ ? &handed_->view : nullptr;
    return lost ? d3d9::kOk : result;
}

PreviewManager::HResult PreviewManager::render() { return current_ ? current_->Render() : d3d9::kOk; }

PreviewManager::HResult PreviewManager::createDirect3D() {
    // The module is released again when this returns; the objects stay.
    std::unique_ptr<d3d9::Module> module = d3d9::Module::load();
    if (!module) return d3d9::kFail;
    if (module->hasCreate9Ex()) {
        const HResult result = module->Direct3DCreate9Ex(d3d9::kSdkVersion, &d3dEx_);
        if (d3d9::failed(result)) return result;
        d3d_ = d3dEx_;
    } else {
        d3d_ = module->Direct3DCreate9(d3d9::kSdkVersion);
        if (!d3d_) return d3d9::kFail;
    }
    adapterCount_ = d3d_->GetAdapterCount();
    return d3d9::kOk;
}

PreviewManager::HResult PreviewManager::createRenderers() {
    if (!window_) {
        window_ = platform::HiddenWindow::create(kWindowClass, &PreviewManager::windowProcedure, this);
        if (!window_) return d3d9::kFail;
    }
    std::vector<std::unique_ptr<PreviewRenderer>> made;
    for (std::uint32_t adapter = 0; adapter < adapterCount_; ++adapter) {
        auto renderer = std::make_unique<PictureRenderer>(picture_);
        const HResult result = renderer->Init(d3d_, d3dEx_, window_.get(), adapter);
        if (d3d9::failed(result)) return result;  // this one and those made so far go
        made.push_back(std::move(renderer));
    }
    renderers_ = std::move(made);
    renderersMade_ = true;
    current_ = renderers_.empty() ? nullptr : renderers_.front().get();
    return d3d9::kOk;
}

PreviewManager::HResult PreviewManager::rebuildRenderTargets() {
    const d3d9::Format format = alpha_ ? d3d9::Format::A8R8G8B8 : d3d9::Format::X8R8G8B8;
    for (std::uint32_t adapter = 0; adapter < adapterCount_; ++adapter) {
        if (d3d9::failed(d3d_->CheckDeviceType(adapter, d3d9::DeviceType::Hal, d3d9::Format::X8R8G8B8, format,
                                               true)) ||
            d3d9::failed(d3d_->CheckDeviceFormat(adapter, d3d9::DeviceType::Hal, d3d9::Format::X8R8G8B8,
                                                 d3d9::kUsageRenderTarget | d3d9::kUsageDynamic,
                                                 d3d9::ResourceType::Surface, format))) {
            return d3d9::kFail;
        }
        // Multisampling needs 9Ex and the adapter's support; otherwise it
        // is turned off silently.
        if (d3dEx_ && desiredSamples_ > 1) {
            if (d3d9::failed(d3d_->CheckDeviceMultiSampleType(adapter, d3d9::DeviceType::Hal, format, true,
                                                              desiredSamples_, nullptr))) {
                desiredSamples_ = 0;
            }
        } else {
            desiredSamples_ = 0;
        }
    }
    for (const auto& renderer : renderers_) {
        const HResult result = renderer->rebuildRenderTarget(width_, height_, format, desiredSamples_);
        if (d3d9::failed(result)) return result;
    }
    settingsChanged_ = false;
    return d3d9::kOk;
}

void PreviewManager::testDevices() {
    for (const auto& renderer : renderers_) {
        if (d3d9::failed(renderer->testDevice())) {
            tearDown();
            return;
        }
    }
}

void PreviewManager::tearDown() {
    current_ = nullptr;
    renderers_.clear();
    renderersMade_ = false;
    d3dEx_.reset();
    d3d_.reset();
    adapterCount_ = 0;
    settingsChanged_ = true;
}

}  // namespace tavin
