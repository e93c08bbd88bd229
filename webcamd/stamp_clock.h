// Presentation times for pictures taken from the frame slots.
//
// A slot's time stamp is seconds on a clock of the picture's origin: the
// phone's clock for decoded pictures, the engine's for the idle and blank
// pictures. Consumers expect times on the system's monotonic clock and never
// going backwards. The first picture is placed at the moment it was taken;
// each later one keeps the spacing of the slot stamps from the previous one,
// so consumers see the phone's own timing. The clock starts anew (placing
// the picture at the moment it was taken) when the stamps go backwards, jump
// by more than a second, or when the placed time drifts more than a second
// from the moment of taking, as it does when the origin changes (idle to
// phone and back) or the two clocks run apart.
#pragma once

#include <cstdint>

namespace tavin::webcamd {

class StampClock {
public:
    // The presentation time, in nanoseconds of CLOCK_MONOTONIC, of a picture
    // with slot stamp `stamp` taken at `takenNs` (CLOCK_MONOTONIC). Strictly
    // increasing from call to call.
    std::uint64_t place(float stamp, std::uint64_t takenNs);
    // Forgets the previous picture (a new stream starts).
    void reset() { started_ = false; }

private:
    bool started_ = false;     // a picture was placed
    bool stampValid_ = false;  // and its stamp was a number
    float lastStamp_ = 0.0f;
    std::uint64_t lastNs_ = 0;
};

}  // namespace tavin::webcamd
