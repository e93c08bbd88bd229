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
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kPictures = 60;

using Stream = std::vector<std::vector<std::uint8_t>>;

// A textured picture that pans and changes a little each time, so that
// every picture costs the decoder real work, as camera video does.
void drawPicture(AVFrame* frame, int number) {
    std::uint32_t seed = 12345;
    for (int y = 0; y < frame->height; ++y) {
        std::uint8_t* row = frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0];
        for (int x = 0; x < frame->width; ++x) {
            seed = seed * 1664525u + 1013904223u;
            row[x] = static_cast<std::uint8_t>(((x + 3 * number) * 5 + y * 3) ^ ((seed >> 24) & 0x1f));
        }
    }
    for (int p = 1; p < 3; ++p) {
        for (int y = 0; y < frame->height / 2; ++y) {
            std::memset(frame->data[p] + static_cast<std::ptrdiff_t>(y) * frame->linesize[p],
                        96 + ((y + number) & 63), static_cast<std::size_t>(frame->width / 2));
        }
    }
}

// kPictures of 1080p H.264 from libx264, `slices` slices per picture.
const Stream& stream(int slices) {
    static Stream streams[9];
    Stream& s = streams[slices];
    if (!s.empty()) return s;
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    AVCodecContext* c = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (!c) return s;
    c->width = kWidth;
    c->height = kHeight;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, 30};
    c->gop_size = 30;
    c->max_b_frames = 0;
    av_opt_set(c->priv_data, "preset", "veryfast", 0);
    av_opt_set(c->priv_data, "x264-params", ("slices=" + std::to_string(slices)).c_str(), 0);
    AVFrame* f = av_frame_alloc();
    AVPacket* p = av_packet_alloc();
    f->format = c->pix_fmt;
    f->width = kWidth;
    f->height = kHeight;
    if (avcodec_open2(c, codec, nullptr) == 0 && av_frame_get_buffer(f, 0) == 0) {
        for (int i = 0; i <= kPictures; ++i) {
            if (i < kPictures) {
                av_frame_make_writable(f);
                drawPicture(f, i);
                f->pts = i;
            }
            avcodec_send_frame(c, i < kPictures ? f : nullptr);
            while (avcodec_receive_packet(c, p) == 0) {
                s.emplace_back(p->data, p->data + p->size);
                av_packet_unref(p);
            }
        }
    }
    av_packet_free(&p);
    av_frame_free(&f);
    avcodec_free_context(&c);
    return s;
}

// args: slices per picture, thread count (0 = libavcodec's automatic count).
void BM_DecodeH264(benchmark::State& state) {
    av_log_set_level(AV_LOG_QUIET);
    const Stream& packets = stream(static_cast<int>(state.range(0)));
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
