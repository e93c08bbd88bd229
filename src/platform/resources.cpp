// Data resources linked into the library, found by number.
#include "platform/resources.h"

namespace tavin::platform {

namespace resources {
// Generated at build time: resources/generator draws the idle animation,
// cmake/embed_resource.cmake turns the file into these bytes.
extern const std::uint8_t kResource101[];
extern const std::size_t kResource101Size;
}  // namespace resources

std::span<const std::uint8_t> findResource(int id) {
    if (id == kIdleAnimationResource && resources::kResource101Size > 0)
        return {resources::kResource101, resources::kResource101Size};
    return {};
}

}  // namespace tavin::platform
