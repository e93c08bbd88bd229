// The engine library loaded with dlopen as a host loads it, with the exports
// the test hosts use looked up by name. Header only: the hosts of the
// lifetime test and of the soak run link nothing of the engine.
#pragma once

#include <dlfcn.h>

#include <array>
#include <cstdio>
#include <string>

#include "engine.h"

namespace tavin::test {

struct LoadedEngine {
    void* handle = nullptr;
    decltype(&EInitialize) eInitialize = nullptr;
    decltype(&EUninitialize) eUninitialize = nullptr;
    decltype(&EOpen) eOpen = nullptr;
    decltype(&SetCallback) setCallback = nullptr;
    decltype(&ESetActiveIdx) eSetActiveIdx = nullptr;
    decltype(&ESelectPhone) eSelectPhone = nullptr;
    decltype(&EAddPhoneAddress) eAddPhoneAddress = nullptr;
    decltype(&GetBackBufferNoRef) getBackBuffer = nullptr;
    decltype(&Render) render = nullptr;
    decltype(&Destroy) destroy = nullptr;

    // Loads the library (RTLD_LOCAL); false, with a line on stderr, when it
    // or one of the exports is missing (nothing stays loaded then).
    bool load(const std::string& path) {
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), dlerror());
            return false;
        }
        const bool found = find(eInitialize, "EInitialize") && find(eUninitialize, "EUninitialize") &&
                           find(eOpen, "EOpen") && find(setCallback, "SetCallback") &&
                           find(eSetActiveIdx, "ESetActiveIdx") && find(eSelectPhone, "ESelectPhone") &&
                           find(eAddPhoneAddress, "EAddPhoneAddress") && find(getBackBuffer, "GetBackBufferNoRef") &&
                           find(render, "Render") && find(destroy, "Destroy");
        if (!found) unload();
        return found;
    }

    void unload() {
        if (handle) dlclose(handle);
        handle = nullptr;
    }

    // EInitialize(4, status), the same callbacks for every slot, slot 0
    // active (it feeds the preview), then EOpen four times; returns what
    // each EOpen returned.
    std::array<int32_t, 4> openFourSlots(EngineStatusCallback status, EngineFrameSizeCallback frameSize,
                                         EnginePhoneCallback phones, EngineFormatListCallback formats) {
        eInitialize(4, status);
        for (uint32_t i = 0; i < 4; ++i)
            setCallback(i, nullptr, frameSize, phones, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, formats);
        eSetActiveIdx(0);
        std::array<int32_t, 4> opened{};
        for (int32_t& slot : opened) slot = eOpen();
        return opened;
    }

private:
    template <class T>
    bool find(T& entry, const char* name) {
        entry = reinterpret_cast<T>(dlsym(handle, name));
        if (!entry) std::fprintf(stderr, "the library has no %s\n", name);
        return entry != nullptr;
    }
};

}  // namespace tavin::test
