// The software Direct3D 9: memory surfaces, nearest-neighbour StretchRect,
// adapters from the display list.
#include "platform/d3d9_software.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/d3d9.h"

namespace tavin::platform::d3d9 {

namespace {

constexpr std::uint32_t kBytesPerPixel = 4;
constexpr std::size_t kAlphaByte = 3;  // B, G, R, A
constexpr std::uint32_t kRenderTargetSlots = 1;  // simultaneous render targets
constexpr std::uint32_t kDefaultQualityLevels = 1;

// Lost-device notifications: a device is lost when the generation moved on
// since its creation. Plain atomics, usable at any moment of the process.
std::atomic<std::uint64_t> g_lossGeneration{0};
std::atomic<int> g_failingCreations{0};

bool isColourFormat(Format f) { return f == Format::A8R8G8B8 || f == Format::X8R8G8B8; }

// Takes one of the pending creation failures, if any.
bool creationFails() {
    int left = g_failingCreations.load();
    while (left > 0) {
        if (g_failingCreations.compare_exchange_weak(left, left - 1)) return true;
    }
    return false;
}

class SoftwareSurface final : public Surface {
public:
    SoftwareSurface(std::uint32_t width, std::uint32_t height, Format format, std::uint32_t usage, Pool pool,
                    Lockable lockable, std::uint8_t* bits)
        : width_(width), height_(height), format_(format), usage_(usage), pool_(pool), lockable_(lockable),
          bits_(bits) {}
    ~SoftwareSurface() override { std::free(bits_); }

    // Null with *result set when the surface cannot be made.
    static std::shared_ptr<SoftwareSurface> make(std::uint32_t width, std::uint32_t height, Format format,
                                                 std::uint32_t usage, Pool pool, Lockable lockable, HResult* result) {
        if (width == 0 || height == 0 || width > kMaxSurfaceSide || height > kMaxSurfaceSide ||
            !isColourFormat(format)) {
            *result = kInvalidCall;
            return nullptr;
        }
        // calloc: a new surface is black, and its pages are only taken when
        // they are drawn to.
        auto* bits = static_cast<std::uint8_t*>(std::calloc(std::size_t{width} * height, kBytesPerPixel));
        if (!bits) {
            *result = kOutOfMemory;
            return nullptr;
        }
        *result = kOk;
        return std::make_shared<SoftwareSurface>(width, height, format, usage, pool, lockable, bits);
    }

    HResult GetDesc(SurfaceDesc* desc) override {
        if (!desc) return kInvalidCall;
        *desc = SurfaceDesc{format_, usage_, pool_, kMultisampleNone, width_, height_};
        return kOk;
    }

    HResult LockRect(LockedRect* locked, const Rect* rect, std::uint32_t) override {
        if (!locked || lockable_ == Lockable::No || locked_) return kInvalidCall;
        Rect area{0, 0, static_cast<std::int32_t>(width_), static_cast<std::int32_t>(height_)};
        if (rect) {
            if (!contains(*rect)) return kInvalidCall;
            area = *rect;
        }
        locked->pitch = static_cast<std::int32_t>(pitch());
        locked->bits = bits_ + static_cast<std::size_t>(area.top) * pitch() +
                       static_cast<std::size_t>(area.left) * kBytesPerPixel;
        locked_ = true;
        return kOk;
    }

    HResult UnlockRect() override {
        if (!locked_) return kInvalidCall;
        locked_ = false;
        return kOk;
    }

    const std::uint8_t* hostBits() const override { return bits_; }

    // A non-empty rectangle inside the surface.
    bool contains(const Rect& r) const {
        return r.left >= 0 && r.top >= 0 && r.left < r.right && r.top < r.bottom &&
               static_cast<std::uint32_t>(r.right) <= width_ && static_cast<std::uint32_t>(r.bottom) <= height_;
    }
    Rect whole() const { return Rect{0, 0, static_cast<std::int32_t>(width_), static_cast<std::int32_t>(height_)}; }
    std::size_t pitch() const { return std::size_t{width_} * kBytesPerPixel; }
    std::uint8_t* bits() { return bits_; }
    Format format() const { return format_; }
    bool isRenderTarget() const { return (usage_ & kUsageRenderTarget) != 0; }
    bool locked() const { return locked_; }

private:
    const std::uint32_t width_;
    const std::uint32_t height_;
    const Format format_;
    const std::uint32_t usage_;
    const Pool pool_;
    const Lockable lockable_;
    std::uint8_t* const bits_;
    bool locked_ = false;
};

class SoftwareDevice final : public DeviceEx {
public:
    SoftwareDevice() : generation_(g_lossGeneration.load()) {}

    HResult TestCooperativeLevel() override { return lost() ? kDeviceLost : kOk; }
    HResult CheckDeviceState(const HiddenWindow*) override { return lost() ? kDeviceLost : kOk; }

    HResult CreateRenderTarget(std::uint32_t width, std::uint32_t height, Format format, MultisampleType multiSample,
                               std::uint32_t, Lockable lockable, std::shared_ptr<Surface>* surface) override {
        if (!surface) return kInvalidCall;
        surface->reset();
        if (multiSample != kMultisampleNone) return kNotAvailable;
        HResult result;
        *surface = SoftwareSurface::make(width, height, format, kUsageRenderTarget, Pool::Default, lockable, &result);
        return result;
    }

    HResult SetRenderTarget(std::uint32_t index, const std::shared_ptr<Surface>& surface) override {
        if (index >= kRenderTargetSlots) return kInvalidCall;
        auto target = std::dynamic_pointer_cast<SoftwareSurface>(surface);
        // Render target 0 cannot be unset, and only render targets qualify.
        if (!target || !target->isRenderTarget()) return kInvalidCall;
        renderTarget_ = std::move(target);
        return kOk;
    }

    HResult GetRenderTarget(std::uint32_t index, std::shared_ptr<Surface>* surface) override {
        if (!surface || index >= kRenderTargetSlots) return kInvalidCall;
        *surface = renderTarget_;
        return renderTarget_ ? kOk : kNotAvailable;
    }

    HResult CreateOffscreenPlainSurface(std::uint32_t width, std::uint32_t height, Format format, Pool pool,
                                        std::shared_ptr<Surface>* surface) override {
        if (!surface) return kInvalidCall;
        surface->reset();
        HResult result;
        *surface = SoftwareSurface::make(width, height, format, 0, pool, Lockable::Yes, &result);
        return result;
    }

    HResult StretchRect(Surface* source, const Rect* sourceRect, Surface* dest, const Rect* destRect,
                        TextureFilter filter) override {
        auto* src = dynamic_cast<SoftwareSurface*>(source);
        auto* dst = dynamic_cast<SoftwareSurface*>(dest);
        if (!src || !dst || src == dst || !dst->isRenderTarget() || src->locked() || dst->locked()) {
            return kInvalidCall;
        }
        if (filter != TextureFilter::None && filter != TextureFilter::Point) return kInvalidCall;
        const Rect from = sourceRect ? *sourceRect : src->whole();
        const Rect to = destRect ? *destRect : dst->whole();
        if (!src->contains(from) || !dst->contains(to)) return kInvalidCall;
        stretch(*src, from, *dst, to);
        return kOk;
    }

    HResult SetRenderState(RenderState state, std::uint32_t value) override {
        switch (state) {
            case RenderState::CullMode: cullMode_ = value; return kOk;
            case RenderState::Lighting: lighting_ = value; return kOk;
        }
        return kInvalidCall;
    }

private:
    bool lost() const { return g_lossGeneration.load() != generation_; }

    // Nearest neighbour: destination pixel d takes the source pixel under
    // its centre, s = ((2d + 1) x sourceSize) / (2 x destSize). A copy from
    // X8R8G8B8 into A8R8G8B8 makes the pixels opaque, as a format
    // conversion does.
    void stretch(SoftwareSurface& src, const Rect& from, SoftwareSurface& dst, const Rect& to) {
        const auto sw = static_cast<std::uint64_t>(from.right - from.left);
        const auto sh = static_cast<std::uint64_t>(from.bottom - from.top);
        const auto dw = static_cast<std::uint64_t>(to.right - to.left);
        const auto dh = static_cast<std::uint64_t>(to.bottom - to.top);
        const bool opaque = src.format() == Format::X8R8G8B8 && dst.format() == Format::A8R8G8B8;
        const std::uint8_t* srcBase = src.bits() + static_cast<std::size_t>(from.left) * kBytesPerPixel;
        std::uint8_t* dstBase = dst.bits() + static_cast<std::size_t>(to.left) * kBytesPerPixel;

        if (sw == dw) {
            for (std::uint64_t y = 0; y < dh; ++y) {
                const std::uint64_t sy = from.top + ((2 * y + 1) * sh) / (2 * dh);
                std::uint8_t* out = dstBase + (to.top + y) * dst.pitch();
                std::memcpy(out, srcBase + sy * src.pitch(), dw * kBytesPerPixel);
                if (opaque) {
                    for (std::uint64_t x = 0; x < dw; ++x) out[x * kBytesPerPixel + kAlphaByte] = 0xFF;
                }
            }
            return;
        }
        // The source column of every destination column, kept while the
        // geometry stays.
        if (columnsFor_[0] != sw || columnsFor_[1] != dw) {
            columns_.resize(dw);
            for (std::uint64_t x = 0; x < dw; ++x) {
                columns_[x] = static_cast<std::uint32_t>(((2 * x + 1) * sw) / (2 * dw) * kBytesPerPixel);
            }
            columnsFor_[0] = sw;
            columnsFor_[1] = dw;
        }
        for (std::uint64_t y = 0; y < dh; ++y) {
            const std::uint64_t sy = from.top + ((2 * y + 1) * sh) / (2 * dh);
            const std::uint8_t* in = srcBase + sy * src.pitch();
            std::uint8_t* out = dstBase + (to.top + y) * dst.pitch();
            for (std::uint64_t x = 0; x < dw; ++x, out += kBytesPerPixel) {
                std::memcpy(out, in + columns_[x], kBytesPerPixel);
                if (opaque) out[kAlphaByte] = 0xFF;
            }
        }
    }

    const std::uint64_t generation_;
    std::shared_ptr<SoftwareSurface> renderTarget_;
    std::uint32_t cullMode_ = 0;
    std::uint32_t lighting_ = 1;
    std::vector<std::uint32_t> columns_;
    std::uint64_t columnsFor_[2] = {0, 0};  // source and destination width of columns_
};

class SoftwareDirect3D final : public Direct3DEx {
public:
    SoftwareDirect3D() {
        refreshDisplays();
        adapters_ = static_cast<std::uint32_t>(displays().size());
    }

    std::uint32_t GetAdapterCount() override { return adapters_; }

    MonitorHandle GetAdapterMonitor(std::uint32_t adapter) override {
        return adapter < adapters_ ? monitorOfDisplay(adapter) : kNoMonitor;
    }

    HResult GetDeviceCaps(std::uint32_t adapter, DeviceType type, Caps* caps) override {
        if (!caps || adapter >= adapters_ || type != DeviceType::Hal) return kInvalidCall;
        *caps = Caps{};  // no hardware transform and lighting
        return kOk;
    }

    HResult CheckDeviceType(std::uint32_t adapter, DeviceType type, Format displayFormat, Format backBufferFormat,
                            bool windowed) override {
        if (adapter >= adapters_ || type != DeviceType::Hal) return kInvalidCall;
        if (displayFormat != Format::X8R8G8B8 || !windowed) return kNotAvailable;
        return isColourFormat(backBufferFormat) ? kOk : kNotAvailable;
    }

    HResult CheckDeviceFormat(std::uint32_t adapter, DeviceType type, Format adapterFormat, std::uint32_t usage,
                              ResourceType resourceType, Format checkFormat) override {
        if (adapter >= adapters_ || type != DeviceType::Hal) return kInvalidCall;
        if (adapterFormat != Format::X8R8G8B8 || resourceType != ResourceType::Surface) return kNotAvailable;
        if ((usage & ~(kUsageRenderTarget | kUsageDynamic)) != 0) return kNotAvailable;
        return isColourFormat(checkFormat) ? kOk : kNotAvailable;
    }

    HResult CheckDeviceMultiSampleType(std::uint32_t adapter, DeviceType type, Format surfaceFormat, bool,
                                       MultisampleType multiSample, std::uint32_t* qualityLevels) override {
        if (adapter >= adapters_ || type != DeviceType::Hal) return kInvalidCall;
        if (qualityLevels) *qualityLevels = 0;
        if (multiSample != kMultisampleNone || !isColourFormat(surfaceFormat)) return kNotAvailable;
        if (qualityLevels) *qualityLevels = kDefaultQualityLevels;
        return kOk;
    }

    HResult CreateDevice(std::uint32_t adapter, DeviceType type, const HiddenWindow* focusWindow,
                         std::uint32_t behaviourFlags, PresentParameters* parameters,
                         std::shared_ptr<Device>* device) override {
        return createAs(adapter, type, focusWindow, behaviourFlags, parameters, device);
    }

    HResult CreateDeviceEx(std::uint32_t adapter, DeviceType type, const HiddenWindow* focusWindow,
                           std::uint32_t behaviourFlags, PresentParameters* parameters,
                           std::shared_ptr<DeviceEx>* device) override {
        return createAs(adapter, type, focusWindow, behaviourFlags, parameters, device);
    }

private:
    // Makes a device, handed out through one of its interfaces.
    template <class Interface>
    HResult createAs(std::uint32_t adapter, DeviceType type, const HiddenWindow* focusWindow,
                     std::uint32_t behaviourFlags, const PresentParameters* parameters,
                     std::shared_ptr<Interface>* device) {
        if (!device) return kInvalidCall;
        device->reset();
        if (adapter >= adapters_ || type != DeviceType::Hal || !parameters) return kInvalidCall;
        if (!focusWindow && !parameters->deviceWindow) return kInvalidCall;
        const std::uint32_t processing =
            behaviourFlags & (kCreateHardwareVertexProcessing | kCreateSoftwareVertexProcessing);
        if (processing != kCreateHardwareVertexProcessing && processing != kCreateSoftwareVertexProcessing) {
            return kInvalidCall;
        }
        if (!parameters->windowed || parameters->multiSampleType != kMultisampleNone) return kNotAvailable;
        if (creationFails()) return kDeviceLost;
        *device = std::make_shared<SoftwareDevice>();
        return kOk;
    }

    std::uint32_t adapters_ = 0;
};

class SoftwareModule final : public Module {
public:
    explicit SoftwareModule(bool ex) : ex_(ex) {}

    bool hasCreate9Ex() const override { return ex_; }

    HResult Direct3DCreate9Ex(std::uint32_t sdkVersion, std::shared_ptr<Direct3DEx>* d3d) override {
        if (!d3d) return kInvalidCall;
        d3d->reset();
        if (!ex_ || sdkVersion != kSdkVersion) return kNotAvailable;
        *d3d = std::make_shared<SoftwareDirect3D>();
        return kOk;
    }

    std::shared_ptr<Direct3D> Direct3DCreate9(std::uint32_t sdkVersion) override {
        if (sdkVersion != kSdkVersion) return nullptr;
        return std::make_shared<SoftwareDirect3D>();
    }

private:
    const bool ex_;
};

}  // namespace

std::unique_ptr<Module> Module::load() {
    const char* setting = std::getenv("TAVIN_D3D9");
    const std::string_view mode = setting ? setting : "";
    if (mode == "absent") return nullptr;
    return std::make_unique<SoftwareModule>(mode != "9");
}

void notifyDeviceLost(int failingCreations) {
    g_lossGeneration.fetch_add(1);
    if (failingCreations > 0) g_failingCreations.fetch_add(failingCreations);
}

}  // namespace tavin::platform::d3d9
