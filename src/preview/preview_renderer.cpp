#include "preview/preview_renderer.h"

#include <cstring>

#include "output/preview_picture.h"

namespace tavin {

namespace d3d9 = platform::d3d9;

namespace {
constexpr std::size_t kPictureBytesPerPixel = 4;

// The device's own back buffer is never drawn to; rendering goes to the
// render target the preview makes.
constexpr std::uint32_t kBackBufferSide = 1;
}  // namespace

PreviewRenderer::HResult PreviewRenderer::Init(const std::shared_ptr<d3d9::Direct3D>& d3d,
                                               const std::shared_ptr<d3d9::Direct3DEx>& d3dEx,
                                               const platform::HiddenWindow* focusWindow, std::uint32_t adapter) {
    if (!d3d) return d3d9::kInvalidCall;
    d3d9::Caps caps;
    HResult result = d3d->GetDeviceCaps(adapter, d3d9::DeviceType::Hal, &caps);
    if (d3d9::failed(result)) return result;
    const std::uint32_t processing = (caps.devCaps & d3d9::kDevCapsHwTransformAndLight)
                                         ? d3d9::kCreateHardwareVertexProcessing
                                         : d3d9::kCreateSoftwareVertexProcessing;
    const std::uint32_t flags = processing | d3d9::kCreateMultithreaded | d3d9::kCreateFpuPreserve;

    d3d9::PresentParameters parameters;
    parameters.backBufferWidth = kBackBufferSide;
    parameters.backBufferHeight = kBackBufferSide;
    parameters.backBufferFormat = d3d9::Format::Unknown;
    parameters.backBufferCount = 0;
    parameters.multiSampleType = d3d9::kMultisampleNone;
    parameters.swapEffect = d3d9::SwapEffect::Discard;
    parameters.deviceWindow = nullptr;  // the focus window serves
    parameters.windowed = true;
    parameters.enableAutoDepthStencil = false;

    if (d3dEx) {
        result = d3dEx->CreateDeviceEx(adapter, d3d9::DeviceType::Hal, focusWindow, flags, &parameters, &deviceEx_);
        if (d3d9::failed(result)) return result;
        device_ = deviceEx_;
    } else {
        result = d3d->CreateDevice(adapter, d3d9::DeviceType::Hal, focusWindow, flags, &parameters, &device_);
    }
    return result;
}

PreviewRenderer::HResult PreviewRenderer::testDevice() {
    if (deviceEx_) return deviceEx_->CheckDeviceState(nullptr);
    if (device_) return device_->TestCooperativeLevel();
    return d3d9::kFail;
}

PreviewRenderer::HResult PreviewRenderer::rebuildRenderTarget(std::uint32_t width, std::uint32_t height,
                                                              d3d9::Format format, d3d9::MultisampleType samples) {
    if (!device_) return d3d9::kFail;
    // The new description is made before the old one goes, so that the host
    // never sees the same pointer for two render targets.
    auto target = std::make_shared<HostSurface>();
    renderTarget_.reset();
    const d3d9::Lockable lockable = deviceEx_ ? d3d9::Lockable::No : d3d9::Lockable::Yes;
    HResult result = device_->CreateRenderTarget(width, height, format, samples, 0, lockable, &target->surface);
    if (d3d9::failed(result)) return result;
    result = device_->SetRenderTarget(0, target->surface);
    if (d3d9::failed(result)) return result;
    target->view.width = width;
    target->view.height = height;
    target->view.pitch = width * kPictureBytesPerPixel;
    target->view.format = static_cast<std::uint32_t>(format);
    target->view.lockable = lockable == d3d9::Lockable::Yes ? 1 : 0;
    target->view.reserved = 0;
    target->view.bits = target->surface->hostBits();
    renderTarget_ = std::move(target);
    return d3d9::kOk;
}

PreviewRenderer::HResult PictureRenderer::Init(const std::shared_ptr<d3d9::Direct3D>& d3d,
                                               const std::shared_ptr<d3d9::Direct3DEx>& d3dEx,
                                               const platform::HiddenWindow* focusWindow, std::uint32_t adapter) {
    HResult result = PreviewRenderer::Init(d3d, d3dEx, focusWindow, adapter);
    if (d3d9::failed(result)) return result;
    result = device_->SetRenderState(d3d9::RenderState::CullMode, d3d9::kCullNone);
    if (d3d9::failed(result)) return result;
    return device_->SetRenderState(d3d9::RenderState::Lighting, 0);
}

PreviewRenderer::HResult PictureRenderer::Render() {
    if (!picture_.ready()) return d3d9::kOk;
    // Read once: the writer does not touch the picture while it is ready.
    const int width = picture_.width();
    const int height = picture_.height();
    if (width == 0 || height == 0) return d3d9::kOk;
    if (width < 0 || height < 0 || width > PreviewPicture::kMaxWidth || height > PreviewPicture::kMaxHeight ||
        !picture_.pixels()) {
        // Never produced by the writer, which bounds its pictures; refused
        // here as well rather than read beyond the buffer.
        picture_.take();
        return d3d9::kInvalidArg;
    }
    if (!device_) return d3d9::kFail;

    if (width != pictureWidth_ || height != pictureHeight_ || !pictureSurface_) {
        pictureWidth_ = width;
        pictureHeight_ = height;
        pictureSurface_.reset();
        const HResult result = device_->CreateOffscreenPlainSurface(
            static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), d3d9::Format::X8R8G8B8,
            d3d9::Pool::Default, &pictureSurface_);
        if (d3d9::failed(result)) return result;
    }

    const std::size_t rowBytes = static_cast<std::size_t>(width) * kPictureBytesPerPixel;
    d3d9::LockedRect locked;
    HResult result = pictureSurface_->LockRect(&locked, nullptr, 0);
    if (d3d9::failed(result)) return result;
    if (locked.pitch < 0 || static_cast<std::size_t>(locked.pitch) < rowBytes) {
        pictureSurface_->UnlockRect();
        return d3d9::kFail;
    }
    const std::uint8_t* source = picture_.pixels();
    for (int row = 0; row < height; ++row) {
        std::memcpy(locked.bits + static_cast<std::size_t>(row) * static_cast<std::size_t>(locked.pitch),
                    source + static_cast<std::size_t>(row) * rowBytes, rowBytes);
    }
    result = pictureSurface_->UnlockRect();
    if (d3d9::failed(result)) return result;

    std::shared_ptr<d3d9::Surface> target;
    result = device_->GetRenderTarget(0, &target);
    if (d3d9::failed(result)) return result;
    result = device_->StretchRect(pictureSurface_.get(), nullptr, target.get(), nullptr, d3d9::TextureFilter::None);
    if (d3d9::failed(result)) return result;
    target.reset();
    picture_.take();
    return d3d9::kOk;
}

}  // namespace tavin
