// Decoding speed of the phone's H.264 by the thread count of slice
// threading: libavcodec's automatic count against fixed counts, on streams
// of one and of several slices per picture (phones send both). The figure
// of each case is the time per decoded picture; compare the cases of one
// run with each other, never with another machine's.
//
//   video_decode_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "test_clip.h"

namespace {

constexpr int kPictures = 60;

// kPictures of 1080p H.264 from libx264, `slices` slices per picture.
const std::vector<tavin::bench::Packet>& stream(int slices) {
    static std::vector<tavin::bench::Packet> streams[9];
    std::vector<tavin::bench::Packet>& s = streams[slices];
    if (s.empty()) s = tavin::bench::loadClip(tavin::bench::ClipSpec{1920, 1080, kPictures, slices, 0});
    return s;
}

// args: slices per picture, thread count (0 = libavcodec's automatic count).
void BM_DecodeH264(benchmark::State& state) {
    av_log_set_level(AV_LOG_QUIET);
    const std::vector<tavin::bench::Packet>& packets = stream(static_cast<int>(state.range(0)));
    if (packets.empty()) {
        state.SkipWithError("no libx264 encoder");
        return;
    }
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->thread_count = static_cast<int>(state.range(1));
    c->thread_type = FF_THREAD_SLICE;
    avcodec_open2(c, codec, nullptr);
    AVPacket* p = av_packet_alloc();
    AVFrame* f = av_frame_alloc();
    std::size_t next = 0;
    std::int64_t pictures = 0;
    for (auto _ : state) {
        const std::vector<std::uint8_t>& bytes = packets[next];
        next = (next + 1) % packets.size();
        av_new_packet(p, static_cast<int>(bytes.size()));
        std::memcpy(p->data, bytes.data(), bytes.size());
        avcodec_send_packet(c, p);
        av_packet_unref(p);
        if (avcodec_receive_frame(c, f) == 0) ++pictures;
        av_frame_unref(f);
    }
    state.counters["pictures"] = static_cast<double>(pictures);
    state.counters["threads"] = c->thread_count;
    av_frame_free(&f);
    av_packet_free(&p);
    avcodec_free_context(&c);
}
BENCHMARK(BM_DecodeH264)
    ->ArgsProduct({{1, 4, 8}, {0, 1, 2, 3}})
    ->ArgNames({"slices", "threads"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
