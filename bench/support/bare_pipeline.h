// The bare pipeline the engine is held against: libavcodec decoding of the
// phone's H.264 packets, configured as the engine's decoder is (slice
// threading, one thread per core), and a swscale conversion of each picture
// into a plain buffer: YUYV for the camera and, when the preview is fed,
// BGRA at the preview's size. Nothing else: no ring, no threads of its own,
// no frame pair, no slots.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "test_clip.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace tavin::bench {

enum class PreviewCopy { No, Yes };

class BarePipeline {
public:
    BarePipeline(int width, int height, PreviewCopy preview);
    ~BarePipeline();
    BarePipeline(const BarePipeline&) = delete;
    BarePipeline& operator=(const BarePipeline&) = delete;
    bool valid() const { return context_ != nullptr; }

    // Decodes one packet and converts its picture; false when it gave none.
    bool run(const Packet& packet);
    // Decodes only; the picture stays in frame() until the next call.
    bool decode(const Packet& packet);
    const AVFrame* frame() const { return frame_; }

private:
    void convert();

    const int width_, height_;
    const PreviewCopy previewCopy_;
    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;  // one buffer, reused for every packet
    AVFrame* frame_ = nullptr;
    SwsContext* cameraScaler_ = nullptr;
    SwsContext* previewScaler_ = nullptr;
    std::vector<std::uint8_t> camera_;   // YUYV, width x height
    std::vector<std::uint8_t> previewPixels_;  // BGRA, the preview's size
};

}  // namespace tavin::bench
