#include "test_clip.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "platform/byte_order.h"
#include "process_figures.h"

namespace tavin::bench {
namespace {

constexpr char kCacheMagic[8] = {'T', 'V', 'C', 'L', 'I', 'P', '1', '\n'};
constexpr int kFramesPerSecond = 30;
// The longest packet read back from a cache file (the engine takes
// messages of at most 4,000,000 bytes).
constexpr std::uint32_t kMaxCachedPacket = 4'000'000;

// A textured picture that pans and changes a little each time.
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

std::vector<Packet> encode(const ClipSpec& spec) {
    std::vector<Packet> packets;
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    AVCodecContext* c = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (!c) return packets;
    av_log_set_level(AV_LOG_ERROR);
    c->width = spec.width;
    c->height = spec.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, kFramesPerSecond};
    c->framerate = AVRational{kFramesPerSecond, 1};
    c->gop_size = kFramesPerSecond;
    c->max_b_frames = 0;
    if (spec.kbps > 0) {
        c->bit_rate = static_cast<std::int64_t>(spec.kbps) * 1000;
        c->rc_max_rate = c->bit_rate;
        c->rc_buffer_size = static_cast<int>(c->bit_rate);  // one second
    }
    av_opt_set(c->priv_data, "preset", "veryfast", 0);
    const std::string params = "slices=" + std::to_string(spec.slices) + ":sliced-threads=0";
    av_opt_set(c->priv_data, "x264-params", params.c_str(), 0);
    AVFrame* f = av_frame_alloc();
    AVPacket* p = av_packet_alloc();
    f->format = c->pix_fmt;
    f->width = spec.width;
    f->height = spec.height;
    if (avcodec_open2(c, codec, nullptr) == 0 && av_frame_get_buffer(f, 0) == 0) {
        for (int i = 0; i <= spec.pictures; ++i) {
            if (i < spec.pictures) {
                av_frame_make_writable(f);
                drawPicture(f, i);
                f->pts = i;
            }
            avcodec_send_frame(c, i < spec.pictures ? f : nullptr);
            while (avcodec_receive_packet(c, p) == 0) {
                packets.emplace_back(p->data, p->data + p->size);
                av_packet_unref(p);
            }
        }
    }
    av_packet_free(&p);
    av_frame_free(&f);
    avcodec_free_context(&c);
    return packets;
}

std::string cachePath(const ClipSpec& s, const std::string& folder) {
    return folder + "/clip-" + std::to_string(s.width) + "x" + std::to_string(s.height) + "-" +
           std::to_string(s.pictures) + "p-" + std::to_string(s.slices) + "s-" + std::to_string(s.kbps) + "k.bin";
}

// Cache file: the magic, then per packet its u32 length and its bytes.
std::vector<Packet> readCache(const std::string& path, int pictures) {
    std::vector<Packet> packets;
    std::ifstream in(path, std::ios::binary);
    char magic[sizeof kCacheMagic];
    if (!in.read(magic, sizeof magic) || std::memcmp(magic, kCacheMagic, sizeof magic) != 0) return packets;
    std::uint8_t word[4];
    while (in.read(reinterpret_cast<char*>(word), sizeof word)) {
        const std::uint32_t length = readLe32(word);
        if (length == 0 || length > kMaxCachedPacket) return {};
        Packet packet(length);
        if (!in.read(reinterpret_cast<char*>(packet.data()), length)) return {};
        packets.push_back(std::move(packet));
    }
    if (static_cast<int>(packets.size()) != pictures) packets.clear();
    return packets;
}

void writeCache(const std::string& path, const std::vector<Packet>& packets) {
    const std::string temporary = path + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(kCacheMagic, sizeof kCacheMagic);
        for (const Packet& packet : packets) {
            std::uint8_t word[4];
            writeLe32(word, static_cast<std::uint32_t>(packet.size()));
            out.write(reinterpret_cast<const char*>(word), sizeof word);
            out.write(reinterpret_cast<const char*>(packet.data()), static_cast<std::streamsize>(packet.size()));
        }
        if (!out) return;
    }
    std::rename(temporary.c_str(), path.c_str());
}

}  // namespace

std::vector<Packet> loadClip(const ClipSpec& spec, const std::string& cacheFolder) {
    const std::string path = cacheFolder.empty() ? "" : cachePath(spec, cacheFolder);
    if (!path.empty()) {
        std::vector<Packet> cached = readCache(path, spec.pictures);
        if (!cached.empty()) return cached;
        std::fprintf(stderr, "bench: encoding the %dx%d clip of %d pictures (kept in %s)\n", spec.width,
                     spec.height, spec.pictures, cacheFolder.c_str());
    }
    std::vector<Packet> packets = encode(spec);
    if (!path.empty() && static_cast<int>(packets.size()) == spec.pictures) {
        mkdir(cacheFolder.c_str(), 0755);
        writeCache(path, packets);
    }
    return packets;
}

ClipSpec phoneClip(int width, int height, int pictures) {
    // Rates phones stream at: about 10 Mbit/s at 1080p, 30 at 2160p.
    const int kbps = width * height >= 3840 * 2160 ? 30'000 : width * height >= 1920 * 1080 ? 10'000 : 5'000;
    return ClipSpec{width, height, pictures, 1, kbps};
}

std::string clipCacheFolder() {
    if (const char* folder = std::getenv("TAVIN_BENCH_CLIPS"); folder && *folder) return folder;
    return programFolder() + "/../bench-clips";
}

}  // namespace tavin::bench
