#include "support/video_support.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include "phone/video_encoder.h"

namespace tavin::test {

std::vector<Packet> encodeTestStream(std::uint32_t codec, int width, int height, int count) {
    std::vector<Packet> packets;
    phonesim::VideoEncoder encoder;
    const VideoFormat format{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), 30.0f};
    if (!encoder.open(codec, format) || encoder.codec() != codec) return packets;
    for (int i = 0; i < count; ++i) {
        encoder.encodeNext([&](const std::uint8_t* data, std::size_t size) { packets.emplace_back(data, data + size); });
    }
    return packets;
}

PlainDecoder::PlainDecoder(std::uint32_t codec) {
    const AVCodec* decoder =
        avcodec_find_decoder(codec == protocol::format_request::kCodecHevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    context_ = decoder ? avcodec_alloc_context3(decoder) : nullptr;
    if (context_ && avcodec_open2(context_, decoder, nullptr) != 0) avcodec_free_context(&context_);
    frame_ = av_frame_alloc();
}

PlainDecoder::~PlainDecoder() {
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

const AVFrame* PlainDecoder::decode(const Packet& packet) {
    if (!context_ || !frame_) return nullptr;
    AVPacket* p = av_packet_alloc();
    if (!p || av_new_packet(p, static_cast<int>(packet.size())) != 0) {
        av_packet_free(&p);
        return nullptr;
    }
    std::memcpy(p->data, packet.data(), packet.size());
    avcodec_send_packet(context_, p);
    av_packet_free(&p);
    return avcodec_receive_frame(context_, frame_) == 0 ? frame_ : nullptr;
}

bool vaapiAvailable() {
    AVBufferRef* device = nullptr;
    const bool ok = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0) >= 0;
    av_buffer_unref(&device);
    return ok;
}

bool samePicture(const AVFrame& a, const AVFrame& b) {
    if (a.width != b.width || a.height != b.height || a.format != b.format) return false;
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(a.format));
    if (!d) return false;
    for (int p = 0; p < 4 && a.data[p]; ++p) {
        const bool chroma = p == 1 || p == 2;
        const int rows = chroma ? AV_CEIL_RSHIFT(a.height, d->log2_chroma_h) : a.height;
        const int bytes = av_image_get_linesize(static_cast<AVPixelFormat>(a.format), a.width, p);
        for (int y = 0; y < rows; ++y) {
            if (std::memcmp(a.data[p] + static_cast<std::ptrdiff_t>(y) * a.linesize[p],
                            b.data[p] + static_cast<std::ptrdiff_t>(y) * b.linesize[p],
                            static_cast<std::size_t>(bytes)) != 0) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace tavin::test
