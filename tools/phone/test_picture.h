// The moving test picture the simulator streams: a gradient that drifts, a
// bar that sweeps across, and the frame number in large block digits in
// the top-left corner, so that a viewer (or a test) sees that pictures move
// and can tell them apart.
#pragma once

#include <cstdint>

namespace tavin::phonesim {

// The three planes of a 4:2:0 picture; chroma planes are (width+1)/2 x
// (height+1)/2.
struct PlanarPicture {
    std::uint8_t* y;
    int yStride;
    std::uint8_t* u;
    int uStride;
    std::uint8_t* v;
    int vStride;
    int width;
    int height;
};

void drawTestPicture(const PlanarPicture& picture, std::uint64_t frameNumber);

}  // namespace tavin::phonesim
