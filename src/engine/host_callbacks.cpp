#include "engine/host_callbacks.h"

#include "platform/byte_order.h"

namespace tavin {

void HostCallbacks::set(EngineButtonCallback cb1, EngineFrameSizeCallback cb2, EnginePhoneCallback cb3,
                        EngineReport19Callback cb4, EngineReport20Callback cb5, EngineReport21Callback cb6,
                        EngineReport22Callback cb7, EngineFocusDistanceCallback cb8,
                        EngineNameListCallback cb9, EngineFormatListCallback cb10) {
    cb1_.store(cb1);
    cb2_.store(cb2);
    cb3_.store(cb3);
    cb4_.store(cb4);
    cb5_.store(cb5);
    cb6_.store(cb6);
    cb7_.store(cb7);
    cb8_.store(cb8);
    cb9_.store(cb9);
    cb10_.store(cb10);
}

void HostCallbacks::clear() {
    set(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    passcode_.store(nullptr);
}

void HostCallbacks::reportPhoneList(const std::vector<PhoneListEntry>& entries) {
    std::int32_t position = 0;
    for (const PhoneListEntry& entry : entries) {
        if (auto cb = cb3_.load()) cb(index_, position, entry.key.c_str(), entry.display.c_str(), entry.current);
        ++position;
    }
}

std::int32_t HostCallbacks::reportFormats(const std::string& formatText) {
    auto cb = cb10_.load();
    return cb ? cb(index_, formatText.c_str()) : 0;
}

void HostCallbacks::reportFrameSize(std::int32_t width, std::int32_t height) {
    if (width == lastWidth_ && height == lastHeight_) return;
    lastWidth_ = width;
    lastHeight_ = height;
    if (auto cb = cb2_.load()) cb(index_, width, height);
}

static std::int32_t asInt(std::uint32_t w) { return static_cast<std::int32_t>(w); }

void HostCallbacks::forwardType19(const std::uint32_t (&w)[4]) {
    if (auto cb = cb4_.load()) cb(index_, asInt(w[0]), asInt(w[1]), asInt(w[2]), asInt(w[3]));
}

void HostCallbacks::forwardType20(const std::uint32_t (&w)[4]) {
    if (auto cb = cb5_.load()) cb(index_, bitsToFloat(w[0]), bitsToFloat(w[1]), bitsToFloat(w[2]), asInt(w[3]));
}

void HostCallbacks::forwardType21(const std::uint32_t (&w)[4]) {
    if (auto cb = cb6_.load())
        cb(index_, bitsToFloat(w[0]), bitsToFloat(w[1]), bitsToFloat(w[2]), bitsToFloat(w[3]));
}

void HostCallbacks::forwardType22(const std::uint32_t (&w)[4]) {
    if (auto cb = cb7_.load()) cb(index_, asInt(w[0]), asInt(w[1]), asInt(w[2]), asInt(w[3]));
}

void HostCallbacks::forwardType25(std::uint32_t mode, std::uint32_t distanceBits) {
    if (auto cb = cb8_.load()) cb(index_, asInt(mode), bitsToFloat(distanceBits));
}

void HostCallbacks::forwardType16(std::int32_t code, std::int32_t value) {
    if (auto cb = cb1_.load()) cb(index_, code, value);
}

void HostCallbacks::forwardNames(const std::string& joined, std::int32_t value) {
    if (auto cb = cb9_.load()) cb(index_, joined.c_str(), value);
}

std::uint64_t HostCallbacks::lookupPasscode(const PhoneId& id, const std::string& name) {
    auto cb = passcode_.load();
    return cb ? cb(index_, id.data(), name.c_str()) : 0;
}

}  // namespace tavin
