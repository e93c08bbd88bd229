// Publishing a decoded picture, per pixel kind and size, against a bare
// sws_scale of the same picture into a plain buffer. The engine's side is
// the whole publishing step of the decoding thread (FramePublisher): taking
// the picture from the frame pair, reading the camera's format, choosing a
// frame slot of the shared region, converting into it and marking it ready
// for the camera's consumer (which takes it in this process, as a driver
// would). The bare side converts the same picture to the same pixel format
// and size with the same scaler flags.
//
// Each size runs in a process of its own, with the drivers' side in it.
//
//   publishing_bench [--runs N]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include "bare_pipeline.h"
#include "bench_driver.h"
#include "figures.h"
#include "media/frame_pair.h"
#include "output/camera_output.h"
#include "output/frame_publisher.h"
#include "output/preview_picture.h"
#include "platform/byte_order.h"
#include "process_figures.h"
#include "test_clip.h"

using namespace tavin;
using namespace tavin::bench;

namespace {

constexpr double kRunSeconds = 0.3;
constexpr int kKinds = 4;
const char* const kKindNames[kKinds] = {"0 BGR24", "1 YUY2", "2 I420", "3 ARGB"};
const AVPixelFormat kKindFormats[kKinds] = {AV_PIX_FMT_BGR24, AV_PIX_FMT_YUYV422, AV_PIX_FMT_YUV420P,
                                            AV_PIX_FMT_ARGB};
struct Size {
    int width, height;
};
const Size kSizes[] = {{1280, 720}, {1920, 1080}, {3840, 2160}};

class NoControls final : public DriverControlSink {
public:
    void forwardControlValue(std::int32_t) override {}
    void forwardControlFlag(std::uint8_t) override {}
};

class QuietHost final : public PublishingHost {
public:
    void sendToPhone(const void*, std::size_t) override {}
    void reportFrameSize(std::int32_t, std::int32_t) override {}
    bool feedsPreview() const override { return false; }
};

// The planes of a width x height picture of `kind` in one plain buffer.
void plainPlanes(std::vector<std::uint8_t>& buffer, int kind, int width, int height, std::uint8_t* planes[4],
                 int strides[4]) {
    const std::size_t w = static_cast<std::size_t>(width), h = static_cast<std::size_t>(height);
    buffer.assign(driver::pictureBytes(kind, w, h) + kScalerSlack, 0);
    for (int i = 0; i < 4; ++i) {
        planes[i] = nullptr;
        strides[i] = 0;
    }
    planes[0] = buffer.data();
    strides[0] = static_cast<int>(driver::pictureBytes(kind, w, 1));
    if (kind == driver::kI420) {
        strides[0] = width;
        planes[1] = buffer.data() + w * h;
        planes[2] = buffer.data() + w * h * 5 / 4;
        strides[1] = strides[2] = width / 2;
    }
}

int child(int width, int height, int runs) {
    BenchDriver driver(1, width, height);
    std::string error;
    if (!driver.start(error)) {
        std::fprintf(stderr, "publishing_bench: %s\n", error.c_str());
        return 1;
    }
    NoControls controls;
    CameraOutput output(0, controls);
    if (output.open() != CameraOutput::kOk) {
        std::fprintf(stderr, "publishing_bench: the camera output did not open\n");
        return 1;
    }
    // A phone streams: the output thread only follows the consumer's format.
    output.setStreaming(true);

    // One decoded picture of the clip, in the frame pair as the decoder
    // leaves it.
    const std::vector<Packet> clip = loadClip(phoneClip(width, height, 2), clipCacheFolder());
    BarePipeline decoder(width, height, PreviewCopy::No);
    if (clip.empty() || !decoder.decode(clip[0])) {
        std::fprintf(stderr, "publishing_bench: no decoded picture\n");
        return 1;
    }
    FramePair pair;
    AVFrame* picture = pair.AcquireFrame();
    if (!picture || av_frame_ref(picture, decoder.frame()) != 0) return 1;
    QuietHost host;
    FramePublisher publisher(pair, output, host, PreviewPicture::process());

    std::uint32_t tag = 0;
    std::vector<std::uint8_t> plain;
    SwsContext* scaler = nullptr;
    for (int kind = 0; kind < kKinds; ++kind) {
        if (!formatFitsSlot(width, height, 30.0f, kind)) continue;  // 3840 x 2160 ARGB
        driver.request(0, width, height, kind);
        output.setOutputFormat(width, height, 30.0f, kind);
        usleep(50'000);  // the output thread has seen the request
        std::uint8_t* planes[4];
        int strides[4];
        plainPlanes(plain, kind, width, height, planes, strides);
        const AVFrame& f = *picture;
        const Comparison c = compareRuns(
            runs,
            [&] {
                return nanosecondsPerCall(
                    [&] {
                        pair.markReady(picture, floatBits(static_cast<float>(++tag)));
                        publisher.OnFrameDone(DecodeOutcome::Picture, floatBits(static_cast<float>(tag)));
                        pair.AcquireFrame();  // the decoder's next turn: the same entry
                    },
                    kRunSeconds);
            },
            [&] {
                return nanosecondsPerCall(
                    [&] {
                        scaler = sws_getCachedContext(scaler, f.width, f.height, static_cast<AVPixelFormat>(f.format),
                                                      width, height, kKindFormats[kind], SWS_FAST_BILINEAR, nullptr,
                                                      nullptr, nullptr);
                        sws_scale(scaler, f.data, f.linesize, 0, f.height, planes, strides);
                    },
                    kRunSeconds);
            });
        reportComparison("kind" + std::to_string(kind), c);
    }
    sws_freeContext(scaler);
    output.close();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--child")
        return child(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2)
        if (std::string(argv[i]) == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));

    std::printf("### 3. Publishing per pixel kind against a bare sws_scale\n\n");
    MarkdownTable table({"Size", "Kind", "Engine (ms per picture)", "sws_scale (ms per picture)", "Ratio"});
    for (const Size& size : kSizes) {
        const std::optional<Results> r = runChild(
            {"--child", std::to_string(size.width), std::to_string(size.height), std::to_string(runs)}, 600.0);
        if (!r) return 1;
        for (int kind = 0; kind < kKinds; ++kind) {
            const std::string sizeText = formatText("%d x %d", size.width, size.height);
            if (!formatFitsSlot(size.width, size.height, 30.0f, kind)) {
                table.row({sizeText, kKindNames[kind], "larger than a frame slot", "-", "-"});
                continue;
            }
            const Comparison c = comparisonResult(*r, "kind" + std::to_string(kind));
            table.row({sizeText, kKindNames[kind], c.engine.scaled(1e-6).text(2), c.bare.scaled(1e-6).text(2),
                       c.ratio.text(2)});
        }
    }
    table.print(stdout);
    return 0;
}
