#include "driver/option_values.h"

#include <algorithm>

#include "driver/requested_format.h"
#include "output/driver_layout.h"

namespace tavin::driverside {

bool parseCameraList(std::string_view text, std::vector<int>& out, std::string& error) {
    out.clear();
    while (!text.empty()) {
        std::size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        int index = -1;
        if (!parseNumber(item, index) || index < 0 || index >= driver::kCameraCount) {
            error = "camera index must be 0..3: '" + std::string(item) + "'";
            return false;
        }
        if (std::find(out.begin(), out.end(), index) == out.end()) out.push_back(index);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    if (out.empty()) {
        error = "--cameras needs at least one index";
        return false;
    }
    std::sort(out.begin(), out.end());
    return true;
}

CameraTarget parseCameraTarget(std::string_view text) {
    CameraTarget t;
    if (text.size() > 2 && text[0] >= '0' && text[0] <= '3' && text[1] == ':') {
        t.camera = text[0] - '0';
        text.remove_prefix(2);
    }
    t.value = std::string(text);
    return t;
}

}  // namespace tavin::driverside
