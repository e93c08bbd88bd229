// The idle picture at 1280 x 720 in each pixel kind, against a bare
// baseline: copying a picture of the same size (what writing it into a
// frame slot costs anyway). Read the ratio of the two in one run.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "output/driver_layout.h"
#include "output/idle_picture.h"
#include "platform/resources.h"

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;

void BM_CopyPicture(benchmark::State& state) {
    const std::size_t bytes = tavin::driver::pictureBytes(static_cast<std::int32_t>(state.range(0)), kWidth, kHeight);
    std::vector<std::uint8_t> from(bytes, 0x40), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CopyPicture)->DenseRange(0, 3);

void BM_IdlePicture(benchmark::State& state) {
    tavin::IdlePicture idle;
    idle.load(tavin::platform::findResource(tavin::platform::kIdleAnimationResource));
    const auto kind = static_cast<std::int32_t>(state.range(0));
    std::uint64_t frame = 0;
    for (auto _ : state) {
        auto picture = idle.draw(kWidth, kHeight, kind, frame++);
        benchmark::DoNotOptimize(picture.data());
    }
}
BENCHMARK(BM_IdlePicture)->DenseRange(0, 3);

}  // namespace
