// The Direct3D 9 interface the preview is written against: the Direct3D
// object (with and without 9Ex), its adapters, devices with their state and
// render states, render targets, off-screen plain surfaces, LockRect and
// StretchRect.
//
// The shapes follow Direct3D 9 call for call, so that a Windows backend is
// the real Direct3D 9 behind them: results are HRESULTs, a COM reference is
// a shared_ptr (Release is reset, QueryInterface to a base interface is a
// conversion), constants carry Direct3D's values. Only what the preview
// uses is here.
//
// The POSIX backend (d3d9_software.cpp) is a software implementation:
// surfaces are memory, 4 bytes per pixel in B, G, R, A (or X) order, rows
// top-down, pitch 4 x width; StretchRect scales by nearest neighbour;
// Direct3D 9Ex is present; multisampling is not supported. Its adapters are
// the monitors of the display list (platform/display.h). See docs/preview.md.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/display.h"

namespace tavin::platform::d3d9 {

using HResult = std::int32_t;

inline bool failed(HResult r) { return r < 0; }

// Results (Direct3D's values).
inline constexpr HResult kOk = 0;                                                       // S_OK
inline constexpr HResult kFail = static_cast<HResult>(0x80004005u);                     // E_FAIL
inline constexpr HResult kPointer = static_cast<HResult>(0x80004003u);                  // E_POINTER
inline constexpr HResult kInvalidArg = static_cast<HResult>(0x80070057u);               // E_INVALIDARG
inline constexpr HResult kOutOfMemory = static_cast<HResult>(0x8007000Eu);              // E_OUTOFMEMORY
inline constexpr HResult kDeviceLost = static_cast<HResult>(0x88760868u);               // D3DERR_DEVICELOST
inline constexpr HResult kDeviceNotReset = static_cast<HResult>(0x88760869u);           // D3DERR_DEVICENOTRESET
inline constexpr HResult kNotAvailable = static_cast<HResult>(0x8876086Au);             // D3DERR_NOTAVAILABLE
inline constexpr HResult kInvalidCall = static_cast<HResult>(0x8876086Cu);              // D3DERR_INVALIDCALL
inline constexpr HResult kDeviceRemoved = static_cast<HResult>(0x88760870u);            // D3DERR_DEVICEREMOVED
inline constexpr HResult kDeviceHung = static_cast<HResult>(0x88760874u);               // D3DERR_DEVICEHUNG
inline constexpr HResult kPresentModeChanged = static_cast<HResult>(0x08760877u);       // S_PRESENT_MODE_CHANGED
inline constexpr HResult kPresentOccluded = static_cast<HResult>(0x08760878u);          // S_PRESENT_OCCLUDED

// The SDK version the Direct3D object is created with (D3D_SDK_VERSION).
inline constexpr std::uint32_t kSdkVersion = 32;

enum class Format : std::uint32_t {
    Unknown = 0,    // D3DFMT_UNKNOWN
    A8R8G8B8 = 21,  // B, G, R, A bytes
    X8R8G8B8 = 22,  // B, G, R, unused bytes
};

enum class DeviceType : std::uint32_t { Hal = 1 };
enum class ResourceType : std::uint32_t { Surface = 1 };
enum class Pool : std::uint32_t { Default = 0, SystemMem = 2 };
enum class SwapEffect : std::uint32_t { Discard = 1 };
enum class TextureFilter : std::uint32_t { None = 0, Point = 1 };
enum class Lockable : std::uint32_t { No = 0, Yes = 1 };

// Render states and their values.
enum class RenderState : std::uint32_t { CullMode = 22, Lighting = 137 };
inline constexpr std::uint32_t kCullNone = 1;  // D3DCULL_NONE

// Usage flags.
inline constexpr std::uint32_t kUsageRenderTarget = 0x1;  // D3DUSAGE_RENDERTARGET
inline constexpr std::uint32_t kUsageDynamic = 0x200;     // D3DUSAGE_DYNAMIC

// Device creation (behaviour) flags.
inline constexpr std::uint32_t kCreateFpuPreserve = 0x2;
inline constexpr std::uint32_t kCreateMultithreaded = 0x4;
inline constexpr std::uint32_t kCreateSoftwareVertexProcessing = 0x20;
inline constexpr std::uint32_t kCreateHardwareVertexProcessing = 0x40;

// Device capabilities.
inline constexpr std::uint32_t kDevCapsHwTransformAndLight = 0x10000;

// Multisample types: 0 none, 2..16 that many samples.
using MultisampleType = std::uint32_t;
inline constexpr MultisampleType kMultisampleNone = 0;

// The part of D3DCAPS9 the preview reads.
struct Caps {
    std::uint32_t devCaps = 0;
};

// D3DPRESENT_PARAMETERS.
struct PresentParameters {
    std::uint32_t backBufferWidth = 0;
    std::uint32_t backBufferHeight = 0;
    Format backBufferFormat = Format::Unknown;
    std::uint32_t backBufferCount = 0;
    MultisampleType multiSampleType = kMultisampleNone;
    std::uint32_t multiSampleQuality = 0;
    SwapEffect swapEffect = SwapEffect::Discard;
    const HiddenWindow* deviceWindow = nullptr;
    bool windowed = true;
    bool enableAutoDepthStencil = false;
    Format autoDepthStencilFormat = Format::Unknown;
    std::uint32_t flags = 0;
    std::uint32_t fullScreenRefreshRate = 0;
    std::uint32_t presentationInterval = 0;  // D3DPRESENT_INTERVAL_DEFAULT
};

// D3DSURFACE_DESC.
struct SurfaceDesc {
    Format format = Format::Unknown;
    std::uint32_t usage = 0;
    Pool pool = Pool::Default;
    MultisampleType multiSampleType = kMultisampleNone;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// D3DLOCKED_RECT.
struct LockedRect {
    std::int32_t pitch = 0;
    std::uint8_t* bits = nullptr;
};

// RECT: right and bottom exclusive.
struct Rect {
    std::int32_t left, top, right, bottom;
};

class Surface {
public:
    virtual ~Surface() = default;
    virtual HResult GetDesc(SurfaceDesc* desc) = 0;
    // Locks the whole surface (rect null) or a part of it; flags 0.
    virtual HResult LockRect(LockedRect* locked, const Rect* rect, std::uint32_t flags) = 0;
    virtual HResult UnlockRect() = 0;
    // The POSIX stand-in for handing the surface itself to the host: its
    // memory, pitch 4 x width. Windows gives the host the surface instead.
    virtual const std::uint8_t* hostBits() const = 0;
};

class Device {
public:
    virtual ~Device() = default;
    // S_OK, or D3DERR_DEVICELOST / D3DERR_DEVICENOTRESET.
    virtual HResult TestCooperativeLevel() = 0;
    virtual HResult CreateRenderTarget(std::uint32_t width, std::uint32_t height, Format format,
                                       MultisampleType multiSample, std::uint32_t multisampleQuality,
                                       Lockable lockable, std::shared_ptr<Surface>* surface) = 0;
    virtual HResult SetRenderTarget(std::uint32_t index, const std::shared_ptr<Surface>& surface) = 0;
    // A new reference to render target `index` (null when none is set).
    virtual HResult GetRenderTarget(std::uint32_t index, std::shared_ptr<Surface>* surface) = 0;
    virtual HResult CreateOffscreenPlainSurface(std::uint32_t width, std::uint32_t height, Format format, Pool pool,
                                                std::shared_ptr<Surface>* surface) = 0;
    // Copies a rectangle of one surface to a rectangle of another, scaling
    // it; null rectangles mean whole surfaces.
    virtual HResult StretchRect(Surface* source, const Rect* sourceRect, Surface* dest, const Rect* destRect,
                                TextureFilter filter) = 0;
    virtual HResult SetRenderState(RenderState state, std::uint32_t value) = 0;
};

class DeviceEx : public Device {
public:
    // S_OK or a success status (occluded, mode changed), or a failure such
    // as D3DERR_DEVICELOST, D3DERR_DEVICEHUNG, D3DERR_DEVICEREMOVED. The
    // window may be null.
    virtual HResult CheckDeviceState(const HiddenWindow* window) = 0;
};

class Direct3D {
public:
    virtual ~Direct3D() = default;
    virtual std::uint32_t GetAdapterCount() = 0;
    // The monitor the adapter shows its desktop on; kNoMonitor for an
    // adapter that does not exist.
    virtual MonitorHandle GetAdapterMonitor(std::uint32_t adapter) = 0;
    virtual HResult GetDeviceCaps(std::uint32_t adapter, DeviceType type, Caps* caps) = 0;
    virtual HResult CheckDeviceType(std::uint32_t adapter, DeviceType type, Format displayFormat,
                                    Format backBufferFormat, bool windowed) = 0;
    virtual HResult CheckDeviceFormat(std::uint32_t adapter, DeviceType type, Format adapterFormat,
                                      std::uint32_t usage, ResourceType resourceType, Format checkFormat) = 0;
    // `qualityLevels` may be null.
    virtual HResult CheckDeviceMultiSampleType(std::uint32_t adapter, DeviceType type, Format surfaceFormat,
                                               bool windowed, MultisampleType multiSample,
                                               std::uint32_t* qualityLevels) = 0;
    virtual HResult CreateDevice(std::uint32_t adapter, DeviceType type, const HiddenWindow* focusWindow,
                                 std::uint32_t behaviourFlags, PresentParameters* parameters,
                                 std::shared_ptr<Device>* device) = 0;
};

class Direct3DEx : public Direct3D {
public:
    // Windowed devices only here: the full-screen display mode is null.
    virtual HResult CreateDeviceEx(std::uint32_t adapter, DeviceType type, const HiddenWindow* focusWindow,
                                   std::uint32_t behaviourFlags, PresentParameters* parameters,
                                   std::shared_ptr<DeviceEx>* device) = 0;
};

// The Direct3D 9 module ("d3d9.dll") with its two entry points.
class Module {
public:
    // Null when the module cannot be loaded.
    static std::unique_ptr<Module> load();
    virtual ~Module() = default;  // releases the module

    // Direct3DCreate9Ex is an export of newer modules only.
    virtual bool hasCreate9Ex() const = 0;
    // Direct3DCreate9Ex; D3DERR_NOTAVAILABLE when the module lacks it.
    virtual HResult Direct3DCreate9Ex(std::uint32_t sdkVersion, std::shared_ptr<Direct3DEx>* d3d) = 0;
    // Direct3DCreate9; null on failure.
    virtual std::shared_ptr<Direct3D> Direct3DCreate9(std::uint32_t sdkVersion) = 0;
};

}  // namespace tavin::platform::d3d9
