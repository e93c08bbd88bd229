// The interface through which the camera driver's control values reach the
// phone. Implemented by the engine instance, handed to its CameraOutput,
// which calls it on its output or decoding thread.
#pragma once

#include <cstdint>

namespace tavin {

class DriverControlSink {
public:
    virtual ~DriverControlSink() = default;
    // Control value A changed: the phone gets Button {4, value}.
    virtual void forwardControlValue(std::int32_t value) = 0;
    // Control flag B changed (as a bool): the phone gets Button {2, flag}.
    virtual void forwardControlFlag(std::uint8_t flag) = 0;
};

}  // namespace tavin
