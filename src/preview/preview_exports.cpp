// The preview exports. They hand each call to the process's preview
// manager; no failure crosses them as an exception.
#include <new>

#include "engine.h"
#include "preview/preview_holder.h"
#include "preview/preview_manager.h"

using tavin::PreviewHolder;
using tavin::PreviewManager;
namespace d3d9 = tavin::platform::d3d9;

namespace {

PreviewHolder& holder() { return PreviewHolder::process(); }

template <class F>
int32_t guardedResult(F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return d3d9::kOutOfMemory;
    } catch (...) {
        return d3d9::kFail;
    }
}

}  // namespace

extern "C" {

ENGINE_EXPORT int32_t SetSize(uint32_t width, uint32_t height) {
    return guardedResult([&] { return holder().withManager([&](PreviewManager& m) { return m.setSize(width, height); }); });
}

ENGINE_EXPORT int32_t SetAlpha(int32_t alpha) {
    return guardedResult([&] { return holder().withManager([&](PreviewManager& m) { return m.setAlpha(alpha != 0); }); });
}

ENGINE_EXPORT int32_t SetNumDesiredSamples(uint32_t count) {
    return guardedResult(
        [&] { return holder().withManager([&](PreviewManager& m) { return m.setNumDesiredSamples(count); }); });
}

ENGINE_EXPORT int32_t SetAdapter(int32_t x, int32_t y) {
    return guardedResult([&] { return holder().withManager([&](PreviewManager& m) { return m.setAdapter(x, y); }); });
}

ENGINE_EXPORT int32_t GetBackBufferNoRef(EnginePreviewSurface** surface) {
    return guardedResult([&] {
        if (surface) *surface = nullptr;
        return holder().withManager([&](PreviewManager& m) { return m.getBackBuffer(surface); });
    });
}

ENGINE_EXPORT int32_t Render(void) {
    return guardedResult([] { return holder().render(); });
}

ENGINE_EXPORT void Destroy(void) {
    guardedResult([] {
        holder().destroy();
        return d3d9::kOk;
    });
}

}  // extern "C"
