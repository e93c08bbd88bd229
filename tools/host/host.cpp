// A small host program: loads libengine.so with dlopen as a real host
// would, initialises and opens the slots, registers every callback and
// prints each callback as it arrives, one line each, on stdout.
//
//   host [--lib PATH] [--count N] [--seconds S] [--address HOST[:PORT]]...
//        [--select SLOT:KEY] [--format SLOT:INDEX] [--active SLOT]
//        [--passcode TEXT] [--button SLOT:CODE:VALUE] [--preview FILE.png]
//
// It runs until SIGINT/SIGTERM or for S seconds, then uninitialises every
// slot and unloads the library.
//
// With --preview it shows the active slot (slot 0 unless --active names
// another) through the preview exports as a host window would: it keeps a
// surface of the picture's size and renders about ten times a second; at
// the end, and on SIGUSR1, it writes the surface as a PNG file.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/png_writer.h"
#include "engine.h"

#ifndef ENGINE_LIBRARY_PATH
#define ENGINE_LIBRARY_PATH "libengine.so"
#endif

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_savePreview{false};
std::atomic<int> g_activeSlot{-1};
std::atomic<uint64_t> g_activeFrameSize{0};  // width << 32 | height of the active slot's pictures
std::mutex g_printLock;
std::string g_passcode;
uint64_t (*g_setPasscode)(const uint8_t*, const char*) = nullptr;

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
    std::lock_guard<std::mutex> guard(g_printLock);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

void onStatus(int32_t index, int32_t code) { say("status %d %d", index, code); }
void onButton(int32_t index, int32_t code, int32_t value) { say("button %d %d %d", index, code, value); }
void onFrameSize(int32_t index, int32_t w, int32_t h) {
    say("framesize %d %dx%d", index, w, h);
    if (index == g_activeSlot.load() && w > 0 && h > 0) {
        g_activeFrameSize.store(static_cast<uint64_t>(w) << 32 | static_cast<uint32_t>(h));
    }
}
void onPhone(int32_t index, int32_t position, const char* key, const char* name, int32_t current) {
    say("phone %d %d key=%s name=\"%s\" current=%d", index, position, key, name, current);
}
void onReport19(int32_t index, int32_t a, int32_t b, int32_t c, int32_t d) {
    say("report19 %d %d %d %d %d", index, a, b, c, d);
}
void onReport20(int32_t index, float a, float b, float c, int32_t d) {
    say("report20 %d %g %g %g %d", index, a, b, c, d);
}
void onReport21(int32_t index, float a, float b, float c, float d) {
    say("report21 %d %g %g %g %g", index, a, b, c, d);
}
void onReport22(int32_t index, int32_t a, int32_t b, int32_t c, int32_t d) {
    say("report22 %d %d %d %d %d", index, a, b, c, d);
}
void onFocusDistance(int32_t index, int32_t mode, float distance) {
    say("focusdistance %d %d %g", index, mode, distance);
}
void onNames(int32_t index, const char* names, int32_t value) { say("names %d \"%s\" %d", index, names, value); }
int32_t onFormats(int32_t index, const char* formats) {
    say("formats %d \"%s\"", index, formats);
    return 0;
}
uint64_t onPasscode(int32_t index, const uint8_t* id, const char* name) {
    uint64_t hash = (g_setPasscode && !g_passcode.empty()) ? g_setPasscode(id, g_passcode.c_str()) : 0;
    say("passcode %d name=\"%s\" answer=%s", index, name, hash ? "yes" : "no");
    return hash;
}

template <class T>
T symbol(void* library, const char* name) {
    void* p = dlsym(library, name);
    if (!p) {
        std::fprintf(stderr, "host: the library has no %s\n", name);
        std::exit(2);
    }
    return reinterpret_cast<T>(p);
}

// The preview as a host window shows it: a surface of the active slot's
// picture size, rendered on this (the host's) thread.
class PreviewWindow {
public:
    explicit PreviewWindow(void* library)
        : setSize_(symbol<decltype(&SetSize)>(library, "SetSize")),
          getBackBuffer_(symbol<decltype(&GetBackBufferNoRef)>(library, "GetBackBufferNoRef")),
          render_(symbol<decltype(&Render)>(library, "Render")),
          destroy_(symbol<decltype(&Destroy)>(library, "Destroy")) {}

    void step() {
        const uint64_t size = g_activeFrameSize.load();
        if (size != size_) {
            size_ = size;
            const int32_t result = setSize_(static_cast<uint32_t>(size >> 32), static_cast<uint32_t>(size));
            say("call SetSize(%ux%u) -> %d", static_cast<unsigned>(size >> 32), static_cast<unsigned>(size), result);
        }
        // A null surface means: ask again (devices are being rebuilt).
        EnginePreviewSurface* surface = nullptr;
        const int32_t result = getBackBuffer_(&surface);
        if (surface != surface_) {
            say("call GetBackBufferNoRef -> %d %ux%u", result, surface ? surface->width : 0u,
                surface ? surface->height : 0u);
            surface_ = surface;
        }
        if (surface_) render_();
    }

    void save(const std::string& path) {
        if (!surface_ || surface_->width > 65535 || surface_->height > 65535) {
            say("preview %s failed: no surface", path.c_str());
            return;
        }
        const EnginePreviewSurface& s = *surface_;
        std::vector<uint8_t> rgb(static_cast<size_t>(s.width) * s.height * 3);
        for (uint32_t y = 0; y < s.height; ++y) {
            const uint8_t* in = s.bits + static_cast<size_t>(y) * s.pitch;
            uint8_t* out = rgb.data() + static_cast<size_t>(y) * s.width * 3;
            for (uint32_t x = 0; x < s.width; ++x, in += 4, out += 3) {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
            }
        }
        const std::vector<uint8_t> png = tavin::tools::encodePng(rgb.data(), static_cast<int>(s.width),
                                                                 static_cast<int>(s.height), s.width * 3);
        FILE* file = std::fopen(path.c_str(), "wb");
        const bool written = file && std::fwrite(png.data(), 1, png.size(), file) == png.size();
        if (file && std::fclose(file) != 0) say("preview %s failed: %s", path.c_str(), std::strerror(errno));
        else if (!written) say("preview %s failed: %s", path.c_str(), std::strerror(errno));
        else say("preview %s %ux%u", path.c_str(), s.width, s.height);
    }

    void destroy() {
        destroy_();
        surface_ = nullptr;
    }

private:
    decltype(&SetSize) setSize_;
    decltype(&GetBackBufferNoRef) getBackBuffer_;
    decltype(&Render) render_;
    decltype(&Destroy) destroy_;
    uint64_t size_ = 0;
    EnginePreviewSurface* surface_ = nullptr;
};

bool splitSlot(const std::string& text, unsigned& slot, std::string& rest) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return false;
    slot = static_cast<unsigned>(std::strtoul(text.substr(0, colon).c_str(), nullptr, 10));
    rest = text.substr(colon + 1);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string library = ENGINE_LIBRARY_PATH;
    int count = 4;
    double seconds = 0;
    std::vector<std::string> addresses, selects, formats, buttons;
    int active = -1;
    std::string previewPath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "host: %s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--lib") library = value();
        else if (arg == "--count") count = std::atoi(value().c_str());
        else if (arg == "--seconds") seconds = std::atof(value().c_str());
        else if (arg == "--address") addresses.push_back(value());
        else if (arg == "--select") selects.push_back(value());
        else if (arg == "--format") formats.push_back(value());
        else if (arg == "--active") active = std::atoi(value().c_str());
        else if (arg == "--passcode") g_passcode = value();
        else if (arg == "--button") buttons.push_back(value());
        else if (arg == "--preview") previewPath = value();
        else {
            std::fprintf(stderr, "host: unknown option %s\n", arg.c_str());
            return 2;
        }
    }

    struct sigaction sa {};
    sa.sa_handler = [](int) { g_stop.store(true); };
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    struct sigaction save {};
    save.sa_handler = [](int) { g_savePreview.store(true); };
    sigaction(SIGUSR1, &save, nullptr);

    void* lib = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "host: cannot load %s: %s\n", library.c_str(), dlerror());
        return 2;
    }
    auto eInitialize = symbol<void (*)(int32_t, EngineStatusCallback)>(lib, "EInitialize");
    auto eUninitialize = symbol<void (*)(uint32_t)>(lib, "EUninitialize");
    auto eOpen = symbol<int32_t (*)()>(lib, "EOpen");
    auto setCallback = symbol<decltype(&SetCallback)>(lib, "SetCallback");
    auto setIdleCallback = symbol<decltype(&SetIdleCallback)>(lib, "SetIdleCallback");
    auto eSelectPhone = symbol<decltype(&ESelectPhone)>(lib, "ESelectPhone");
    auto eSetVideoFormat = symbol<decltype(&ESetVideoFormat)>(lib, "ESetVideoFormat");
    auto eSetActiveIdx = symbol<decltype(&ESetActiveIdx)>(lib, "ESetActiveIdx");
    auto buttonEvent = symbol<decltype(&ButtonEvent)>(lib, "ButtonEvent");
    auto eAddPhoneAddress = symbol<decltype(&EAddPhoneAddress)>(lib, "EAddPhoneAddress");
    g_setPasscode = symbol<decltype(&ESetPasscode)>(lib, "ESetPasscode");
    std::unique_ptr<PreviewWindow> preview;
    if (!previewPath.empty()) {
        preview = std::make_unique<PreviewWindow>(lib);
        if (active < 0) active = 0;
    }
    g_activeSlot.store(active);

    say("call EInitialize(%d)", count);
    eInitialize(count, onStatus);
    const int slots = count < 0 ? 0 : (count > 4 ? 4 : count);
    for (int i = 0; i < slots; ++i) {
        setCallback(static_cast<uint32_t>(i), onButton, onFrameSize, onPhone, onReport19, onReport20, onReport21,
                    onReport22, onFocusDistance, onNames, onFormats);
        setIdleCallback(static_cast<uint32_t>(i), onPasscode);
    }
    if (active >= 0) eSetActiveIdx(static_cast<uint32_t>(active));
    for (int i = 0; i < slots; ++i) {
        const int32_t opened = eOpen();
        say("call EOpen -> %d", opened);
    }
    for (const std::string& address : addresses) {
        say("call EAddPhoneAddress(%s) -> %d", address.c_str(), eAddPhoneAddress(address.c_str()));
    }
    for (const std::string& text : formats) {
        unsigned slot;
        std::string rest;
        if (splitSlot(text, slot, rest)) eSetVideoFormat(slot, std::atoi(rest.c_str()));
    }
    for (const std::string& text : selects) {
        unsigned slot;
        std::string rest;
        if (splitSlot(text, slot, rest)) eSelectPhone(slot, rest.c_str());
    }

    const auto start = std::chrono::steady_clock::now();
    bool buttonsSent = buttons.empty();
    while (!g_stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!buttonsSent && elapsed > 8.0) {
            // Controls go out once a phone had time to connect.
            for (const std::string& text : buttons) {
                unsigned slot;
                std::string rest;
                if (!splitSlot(text, slot, rest)) continue;
                const auto colon = rest.find(':');
                if (colon == std::string::npos) continue;
                buttonEvent(slot, std::atoi(rest.substr(0, colon).c_str()), std::atoi(rest.substr(colon + 1).c_str()));
                say("call ButtonEvent(%u, %s)", slot, rest.c_str());
            }
            buttonsSent = true;
        }
        if (preview) {
            preview->step();
            if (g_savePreview.exchange(false)) preview->save(previewPath);
        }
        if (seconds > 0 && elapsed >= seconds) break;
    }
    if (preview) {
        preview->save(previewPath);
        preview->destroy();
    }
    for (int i = slots - 1; i >= 0; --i) eUninitialize(static_cast<uint32_t>(i));
    say("call EUninitialize done");
    dlclose(lib);
    return 0;
}
