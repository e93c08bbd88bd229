// Render of one new 1920 x 1080 preview picture (what a 3840-wide stream
// gives, and a 1080p stream as it is): the copy into the picture surface
// and the StretchRect onto the host's surface, at the picture's own size and
// scaled to the default 1024 x 1024. Baseline: one plain copy of the
// picture's bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "engine.h"
#include "output/preview_picture.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr std::size_t kBytes = std::size_t{kWidth} * kHeight * 4;

void BM_BarePictureCopy(benchmark::State& state) {
    auto from = std::make_unique<std::uint8_t[]>(kBytes);
    auto to = std::make_unique<std::uint8_t[]>(kBytes);
    std::memset(from.get(), 0x40, kBytes);
    std::memset(to.get(), 0, kBytes);
    for (auto _ : state) {
        std::memcpy(to.get(), from.get(), kBytes);
        benchmark::DoNotOptimize(to.get());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BarePictureCopy)->Unit(benchmark::kMillisecond);

// Renders a new picture per iteration onto a width x height surface.
void renderNewPictures(benchmark::State& state, std::uint32_t width, std::uint32_t height) {
    tavin::PreviewPicture& picture = tavin::PreviewPicture::process();
    if (picture.ready()) picture.take();
    std::uint8_t* pixels = picture.beginWrite();
    if (!pixels) {
        state.SkipWithError("no preview picture");
        return;
    }
    std::memset(pixels, 0x40, kBytes);
    SetSize(width, height);
    EnginePreviewSurface* surface = nullptr;
    if (GetBackBufferNoRef(&surface) != 0 || !surface) {
        state.SkipWithError("no preview surface");
        return;
    }
    for (auto _ : state) {
        picture.finishWrite(kWidth, kHeight);
        if (Render() != 0 || picture.ready()) state.SkipWithError("not rendered");
        benchmark::DoNotOptimize(surface->bits);
    }
    Destroy();
}

void BM_RenderUnscaled(benchmark::State& state) { renderNewPictures(state, kWidth, kHeight); }
BENCHMARK(BM_RenderUnscaled)->Unit(benchmark::kMillisecond);

void BM_RenderScaledToDefaultSurface(benchmark::State& state) { renderNewPictures(state, 1024, 1024); }
BENCHMARK(BM_RenderScaledToDefaultSurface)->Unit(benchmark::kMillisecond);

}  // namespace
