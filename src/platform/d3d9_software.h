// The software backend of the Direct3D 9 layer (platform/d3d9.h): what it
// adds to the interface. Its behaviour is described in docs/preview.md.
//
// Module::load reads $TAVIN_D3D9: "absent" means the module cannot be
// loaded, "9" that it has no Direct3DCreate9Ex (plain Direct3D 9); anything
// else, or unset, gives Direct3D 9Ex. Creating the Direct3D object reads the
// display list again; its adapters are the monitors of that list.
#pragma once

#include <cstdint>

namespace tavin::platform::d3d9 {

// The largest side of a surface the backend creates (a device's largest
// texture size); larger requests fail with D3DERR_INVALIDCALL.
inline constexpr std::uint32_t kMaxSurfaceSide = 16384;

// The layer's own notification of lost devices: every device that exists
// now reports D3DERR_DEVICELOST from its state tests from here on, and the
// next `failingCreations` device creations fail with D3DERR_DEVICELOST, as
// while the display cannot be used. No system source feeds it here.
void notifyDeviceLost(int failingCreations = 0);

}  // namespace tavin::platform::d3d9
