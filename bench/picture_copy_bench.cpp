// What the camera daemon's copy of a picture out of a frame slot costs
// against its baseline in the same run: a bare memcpy of the same bytes.
// Top-down pictures are one memcpy; a bottom-up BGR picture is copied row by
// row in reverse order. Compare as ratios.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "driver/picture_layout.h"
#include "output/driver_layout.h"

namespace tavin {
namespace {

constexpr std::int32_t kWidth = 1920, kHeight = 1080;

void copyBench(benchmark::State& state, driverside::PictureLayout layout, bool bare) {
    const std::size_t bytes = driverside::layoutBytes(layout);
    std::vector<std::uint8_t> source(bytes, 0x5a), target(bytes);
    for (auto _ : state) {
        if (bare)
            std::memcpy(target.data(), source.data(), bytes);
        else
            driverside::copyUpright(target.data(), source.data(), layout);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}

void BM_Memcpy1080pBgr(benchmark::State& s) { copyBench(s, {kWidth, kHeight, driver::kBgr24}, true); }
void BM_Upright1080pBgrBottomUp(benchmark::State& s) { copyBench(s, {kWidth, -kHeight, driver::kBgr24}, false); }
void BM_Memcpy1080pYuy2(benchmark::State& s) { copyBench(s, {kWidth, kHeight, driver::kYuy2}, true); }
void BM_Upright1080pYuy2(benchmark::State& s) { copyBench(s, {kWidth, kHeight, driver::kYuy2}, false); }

BENCHMARK(BM_Memcpy1080pBgr);
BENCHMARK(BM_Upright1080pBgrBottomUp);
BENCHMARK(BM_Memcpy1080pYuy2);
BENCHMARK(BM_Upright1080pYuy2);

}  // namespace
}  // namespace tavin
