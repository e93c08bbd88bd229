// The host's callbacks of one engine instance, and the operations through
// which the rest of the engine raises them. Each pointer is read at the
// moment its callback is raised; registrations are plain stores.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine.h"
#include "engine/phone_list.h"

namespace tavin {

class HostCallbacks {
public:
    explicit HostCallbacks(int index) : index_(index) {}

    // Registration (SetCallback, SetIdleCallback).
    void set(EngineButtonCallback cb1, EngineFrameSizeCallback cb2, EnginePhoneCallback cb3,
             EngineReport19Callback cb4, EngineReport20Callback cb5, EngineReport21Callback cb6,
             EngineReport22Callback cb7, EngineFocusDistanceCallback cb8, EngineNameListCallback cb9,
             EngineFormatListCallback cb10);
    void setPasscode(EnginePasscodeCallback cb) { passcode_.store(cb); }
    // Clears all eleven pointers (the start of destruction).
    void clear();

    // Callback 3 once per entry, positions 0, 1, ...
    void reportPhoneList(const std::vector<PhoneListEntry>& entries);
    // Callback 10; 0 (automatic) when it is not registered.
    std::int32_t reportFormats(const std::string& formatText);
    // Callback 2, only when the size differs from the last one passed.
    void reportFrameSize(std::int32_t width, std::int32_t height);
    void forwardType19(const std::uint32_t (&w)[4]);
    void forwardType20(const std::uint32_t (&w)[4]);
    void forwardType21(const std::uint32_t (&w)[4]);
    void forwardType22(const std::uint32_t (&w)[4]);
    void forwardType25(std::uint32_t mode, std::uint32_t distanceBits);
    void forwardType16(std::int32_t code, std::int32_t value);
    void forwardNames(const std::string& joined, std::int32_t value);
    // The passcode callback; 0 when it is not registered.
    std::uint64_t lookupPasscode(const PhoneId& id, const std::string& name);

private:
    const int index_;
    std::atomic<EngineButtonCallback> cb1_{nullptr};
    std::atomic<EngineFrameSizeCallback> cb2_{nullptr};
    std::atomic<EnginePhoneCallback> cb3_{nullptr};
    std::atomic<EngineReport19Callback> cb4_{nullptr};
    std::atomic<EngineReport20Callback> cb5_{nullptr};
    std::atomic<EngineReport21Callback> cb6_{nullptr};
    std::atomic<EngineReport22Callback> cb7_{nullptr};
    std::atomic<EngineFocusDistanceCallback> cb8_{nullptr};
    std::atomic<EngineNameListCallback> cb9_{nullptr};
    std::atomic<EngineFormatListCallback> cb10_{nullptr};
    std::atomic<EnginePasscodeCallback> passcode_{nullptr};
    std::int32_t lastWidth_ = 0;   // touched by the decoding thread only
    std::int32_t lastHeight_ = 0;
};

}  // namespace tavin
