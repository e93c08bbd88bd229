// The PC's monitors and the hidden windows that hear about display changes
// (the MonitorFromPoint and hidden-window stand-ins).
//
// The monitors are the entries of the display list: $TAVIN_DISPLAYS when it
// is set, as "WxH+X+Y" entries joined by ';', otherwise one monitor
// 1920x1080+0+0. The list is read again by refreshDisplays(), which the
// Direct3D layer calls each time it creates its Direct3D object; until the
// first refresh the first use reads it. A display change comes only from
// notifyDisplayChange(): no system source feeds it here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace tavin::platform {

// One monitor of the desktop, in screen coordinates.
struct MonitorRect {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    bool operator==(const MonitorRect&) const = default;
};

// Opaque monitor handle: 0 is "no monitor", others name an entry of the
// display list read last.
using MonitorHandle = std::uintptr_t;
inline constexpr MonitorHandle kNoMonitor = 0;

// The most entries the display list may hold; later ones are ignored.
inline constexpr std::size_t kMaxMonitors = 16;

// Parses a display list. Entries that do not parse, have a size of 0 or
// reach beyond 32-bit screen coordinates are skipped; an empty text is a
// desktop without monitors.
std::vector<MonitorRect> parseDisplayList(std::string_view text);

// Reads the display list again (from $TAVIN_DISPLAYS or the default).
void refreshDisplays();
// The monitors of the list read last.
std::vector<MonitorRect> displays();
// The handle of the monitor `index` of the list read last, or kNoMonitor.
MonitorHandle monitorOfDisplay(std::size_t index);
// The monitor that contains the screen point, or kNoMonitor (the
// MONITOR_DEFAULTTONULL behaviour).
MonitorHandle monitorFromPoint(std::int32_t x, std::int32_t y);

// Window messages a hidden window's procedure hears.
inline constexpr std::uint32_t kWmDisplayChange = 0x007E;  // WM_DISPLAYCHANGE

// A window procedure: the context given at creation and the message.
using WindowProcedure = void (*)(void* context, std::uint32_t message);

struct HiddenWindowEntry;

// A hidden window of a registered class, never shown. Creating it registers
// the class and creates the window; destroying it destroys the window and
// unregisters the class.
class HiddenWindow {
public:
    // Null when the class name is taken (registered and not unregistered
    // yet) or empty, or when the window cannot be made.
    static std::unique_ptr<HiddenWindow> create(std::string_view className, WindowProcedure procedure,
                                                void* context);
    ~HiddenWindow();
    HiddenWindow(const HiddenWindow&) = delete;
    HiddenWindow& operator=(const HiddenWindow&) = delete;

private:
    HiddenWindow() = default;
    HiddenWindowEntry* entry_ = nullptr;
};

// Delivers WM_DISPLAYCHANGE to every hidden window, on the calling thread
// (where a message loop would dispatch it). A window being destroyed at
// the same moment either hears it first or not at all.
void notifyDisplayChange();

}  // namespace tavin::platform
