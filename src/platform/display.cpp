// Monitors from the display list, and hidden windows with their display
// change notification.
#include "platform/display.h"

#include <charconv>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tavin::platform {

namespace {

constexpr MonitorRect kDefaultMonitor{0, 0, 1920, 1080};

bool parseUnsigned(std::string_view text, std::int64_t& out) {
    if (text.empty()) return false;
    std::uint32_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end) return false;
    out = value;
    return true;
}

// "+N" or "-N": a coordinate with its sign.
bool parseCoordinate(std::string_view text, std::int64_t& out) {
    if (text.size() < 2 || (text[0] != '+' && text[0] != '-')) return false;
    if (!parseUnsigned(text.substr(1), out)) return false;
    if (text[0] == '-') out = -out;
    return true;
}

bool parseEntry(std::string_view entry, MonitorRect& out) {
    const auto cross = entry.find('x');
    if (cross == std::string_view::npos) return false;
    const auto signs = entry.find_first_of("+-", cross);
    if (signs == std::string_view::npos) return false;
    const auto second = entry.find_first_of("+-", signs + 1);
    if (second == std::string_view::npos) return false;
    std::int64_t w, h, x, y;
    if (!parseUnsigned(entry.substr(0, cross), w) || !parseUnsigned(entry.substr(cross + 1, signs - cross - 1), h) ||
        !parseCoordinate(entry.substr(signs, second - signs), x) || !parseCoordinate(entry.substr(second), y)) {
        return false;
    }
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    if (w == 0 || h == 0 || x < kMin || y < kMin || x + w - 1 > kMax || y + h - 1 > kMax) return false;
    out = MonitorRect{static_cast<std::int32_t>(x), static_cast<std::int32_t>(y), static_cast<std::int32_t>(w),
                      static_cast<std::int32_t>(h)};
    return true;
}

// The display list read last. Constant-initialised, so that it exists from
// the library's load and is freed at unload after every object made on
// first use (a preview manager left to unloading still uses it).
struct DisplayState {
    std::mutex lock;
    bool read = false;
    std::vector<MonitorRect> monitors;
};

constinit DisplayState gDisplayState;

DisplayState& displayState() { return gDisplayState; }

std::vector<MonitorRect> readDisplayList() {
    const char* text = std::getenv("TAVIN_DISPLAYS");
    if (!text) return {kDefaultMonitor};
    return parseDisplayList(text);
}

// Runs f(monitors) under the lock, reading the list first when it never was.
template <class F>
auto withDisplays(F&& f) {
    DisplayState& state = displayState();
    std::lock_guard<std::mutex> guard(state.lock);
    if (!state.read) {
        state.monitors = readDisplayList();
        state.read = true;
    }
    return f(state.monitors);
}

}  // namespace

std::vector<MonitorRect> parseDisplayList(std::string_view text) {
    std::vector<MonitorRect> monitors;
    while (!text.empty() && monitors.size() < kMaxMonitors) {
        const auto semicolon = text.find(';');
        MonitorRect rect;
        if (parseEntry(text.substr(0, semicolon), rect)) monitors.push_back(rect);
        if (semicolon == std::string_view::npos) break;
        text.remove_prefix(semicolon + 1);
    }
    return monitors;
}

void refreshDisplays() {
    std::vector<MonitorRect> monitors = readDisplayList();
    DisplayState& state = displayState();
    std::lock_guard<std::mutex> guard(state.lock);
    state.monitors = std::move(monitors);
    state.read = true;
}

std::vector<MonitorRect> displays() {
    return withDisplays([](const std::vector<MonitorRect>& monitors) { return monitors; });
}

MonitorHandle monitorOfDisplay(std::size_t index) {
    return withDisplays([&](const std::vector<MonitorRect>& monitors) {
        return index < monitors.size() ? static_cast<MonitorHandle>(index + 1) : kNoMonitor;
    });
}

MonitorHandle monitorFromPoint(std::int32_t x, std::int32_t y) {
    return withDisplays([&](const std::vector<MonitorRect>& monitors) {
        for (std::size_t i = 0; i < monitors.size(); ++i) {
            const MonitorRect& m = monitors[i];
            const std::int64_t dx = std::int64_t{x} - m.x;
            const std::int64_t dy = std::int64_t{y} - m.y;
            if (dx >= 0 && dx < m.width && dy >= 0 && dy < m.height) return static_cast<MonitorHandle>(i + 1);
        }
        return kNoMonitor;
    });
}

// ---- hidden windows

struct HiddenWindowEntry {
    std::string className;
    WindowProcedure procedure;
    void* context;
};

namespace {

// The live windows; like the display list, freed at unload after every
// object made on first use, so that a window destroyed then still finds
// it. Procedures run under the lock, so a window is never called after its
// destruction.
struct WindowList {
    std::mutex lock;
    std::vector<std::unique_ptr<HiddenWindowEntry>> windows;
};

constinit WindowList gWindowList;

WindowList& windowList() { return gWindowList; }

}  // namespace

std::unique_ptr<HiddenWindow> HiddenWindow::create(std::string_view className, WindowProcedure procedure,
                                                   void* context) {
    if (className.empty() || !procedure) return nullptr;
    WindowList& list = windowList();
    std::lock_guard<std::mutex> guard(list.lock);
    for (const auto& e : list.windows) {
        if (e->className == className) return nullptr;  // the class is registered already
    }
    std::unique_ptr<HiddenWindow> window(new HiddenWindow);
    list.windows.push_back(
        std::make_unique<HiddenWindowEntry>(HiddenWindowEntry{std::string(className), procedure, context}));
    window->entry_ = list.windows.back().get();
    return window;
}

HiddenWindow::~HiddenWindow() {
    WindowList& list = windowList();
    std::lock_guard<std::mutex> guard(list.lock);
    std::erase_if(list.windows, [this](const std::unique_ptr<HiddenWindowEntry>& e) { return e.get() == entry_; });
}

void notifyDisplayChange() {
    WindowList& list = windowList();
    std::lock_guard<std::mutex> guard(list.lock);
    for (const auto& e : list.windows) e->procedure(e->context, kWmDisplayChange);
}

}  // namespace tavin::platform
