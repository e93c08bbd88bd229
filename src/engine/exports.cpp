// The exported control functions. They only look up the slot and hand the
// call to its instance; no failure crosses them as an exception.
#include <cstring>
#include <string>

#include "engine.h"
#include "engine/engine_context.h"
#include "engine/engine_instance.h"
#include "engine/instance_table.h"
#include "session/passcode.h"
#include "session/phone_registry.h"

using tavin::EngineInstance;
using tavin::InstanceTable;

namespace {
// The longest key or address text the exports read from the host.
constexpr std::size_t kMaxHostText = 255;

std::string boundedText(const char* text) {
    return text ? std::string(text, strnlen(text, kMaxHostText)) : std::string();
}

template <class F>
void guarded(F&& f) noexcept {
    try {
        f();
    } catch (...) {
        // Nothing crosses the exports; the engine stays in its state.
    }
}
}  // namespace

extern "C" {

ENGINE_EXPORT void EInitialize(int32_t count, EngineStatusCallback status) {
    guarded([&] {
        InstanceTable::setStatusCallback(status);
        for (int i = 0; i < count && i < InstanceTable::kSlots; ++i) {
            // A slot that already holds an instance keeps it.
            if (InstanceTable::at(static_cast<std::uint32_t>(i))) continue;
            InstanceTable::put(i, new EngineInstance(count, i));
        }
    });
}

ENGINE_EXPORT void EUninitialize(uint32_t index) {
    guarded([&] { delete InstanceTable::take(index); });
}

ENGINE_EXPORT int32_t EOpen(void) {
    int32_t opened = -1;
    guarded([&] {
        const int n = InstanceTable::claimNextOpen();
        if (n < 0) return;
        EngineInstance* instance = InstanceTable::at(static_cast<std::uint32_t>(n));
        const int result = instance ? instance->open() : -1;
        tavin::reportStatus(n, result);
        opened = n;
    });
    return opened;
}

ENGINE_EXPORT void SetCallback(uint32_t index, EngineButtonCallback cb1, EngineFrameSizeCallback cb2,
                               EnginePhoneCallback cb3, EngineReport19Callback cb4, EngineReport20Callback cb5,
                               EngineReport21Callback cb6, EngineReport22Callback cb7,
                               EngineFocusDistanceCallback cb8, EngineNameListCallback cb9,
                               EngineFormatListCallback cb10) {
    if (EngineInstance* instance = InstanceTable::at(index)) {
        instance->host().set(cb1, cb2, cb3, cb4, cb5, cb6, cb7, cb8, cb9, cb10);
    }
}

ENGINE_EXPORT void SetIdleCallback(uint32_t index, EnginePasscodeCallback passcode) {
    if (EngineInstance* instance = InstanceTable::at(index)) instance->host().setPasscode(passcode);
}

ENGINE_EXPORT void ButtonEvent(uint32_t index, int32_t code, int32_t value) {
    guarded([&] {
        if (EngineInstance* instance = InstanceTable::at(index)) instance->buttonEvent(code, value);
    });
}

ENGINE_EXPORT void EFocus(uint32_t index, float x, float y, uint8_t flag) {
    guarded([&] {
        if (EngineInstance* instance = InstanceTable::at(index)) instance->focus(x, y, flag);
    });
}

ENGINE_EXPORT void EFocusDistance(uint32_t index, int32_t mode, float distance) {
    guarded([&] {
        if (EngineInstance* instance = InstanceTable::at(index)) instance->focusDistance(mode, distance);
    });
}

ENGINE_EXPORT void ESetActiveIdx(uint32_t index) {
    const int opened = InstanceTable::openCount();
    for (int i = 0; i < opened; ++i) {
        EngineInstance* instance = InstanceTable::at(static_cast<std::uint32_t>(i));
        if (!instance) break;
        instance->setActive(false);
    }
    if (EngineInstance* instance = InstanceTable::at(index)) instance->setActive(true);
}

ENGINE_EXPORT void ESetBlank(uint8_t blank) {
    for (std::uint32_t i = 0; i < InstanceTable::kSlots; ++i) {
        EngineInstance* instance = InstanceTable::at(i);
        if (instance && instance->hasOutput()) instance->setBlank(blank);
    }
}

ENGINE_EXPORT void ESetVideoFormat(uint32_t index, int32_t format) {
    guarded([&] {
        if (EngineInstance* instance = InstanceTable::at(index)) instance->setVideoFormat(format);
    });
}

ENGINE_EXPORT void ESelectPhone(uint32_t index, const char* key) {
    guarded([&] {
        EngineInstance* instance = InstanceTable::at(index);
        if (instance && key) instance->selectByKey(boundedText(key));
    });
}

ENGINE_EXPORT void ERefresh(void) {
    EngineInstance* instance = InstanceTable::at(0);
    if (instance && instance->context()) instance->context()->wifiDiscovery().refresh();
}

ENGINE_EXPORT uint64_t ESetPasscode(const uint8_t* phoneId, const char* passcode) {
    uint64_t hash = 0;
    guarded([&] {
        EngineInstance* instance = InstanceTable::at(0);
        if (!instance) return;
        hash = tavin::passcodeHashOf(passcode ? passcode : "");
        if (phoneId) {
            tavin::PhoneId id;
            std::memcpy(id.data(), phoneId, id.size());
            tavin::PhoneRegistry::instance().setStateQuietly(id, tavin::PhoneState::Idle);
        }
        instance->onPhoneListChanged();
    });
    return hash;
}

ENGINE_EXPORT int32_t EAddPhoneAddress(const char* address) {
    int32_t result = -1;
    guarded([&] {
        // The prober is among slot 0's services.
        EngineInstance* instance = InstanceTable::at(0);
        if (address && instance && instance->context())
            result = instance->context()->prober().add(boundedText(address).c_str());
    });
    return result;
}

}  // extern "C"
