// Values the driver-side daemons take on their command lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavin::driverside {

// "0,2": camera indexes 0..3, sorted, each once. False with a reason.
bool parseCameraList(std::string_view text, std::vector<int>& out, std::string& error);

// "[N:]VALUE": a single digit 0..3 and a colon pick the camera, otherwise
// camera 0.
struct CameraTarget {
    int camera = 0;
    std::string value;
};
CameraTarget parseCameraTarget(std::string_view text);

}  // namespace tavin::driverside
