// Publishing decoded pictures: the fit and preview arithmetic, and real
// pictures from the phone simulator's stream converted into the frame slots
// of a camera output attached to the driver substitute, compared with a
// reference conversion of the same picture.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "engine/error_record.h"
#include "media/frame_pair.h"
#include "output/camera_output.h"
#include "output/device_enumeration.h"
#include "output/driver_layout.h"
#include "output/frame_publisher.h"
#include "output/preview_picture.h"
#include "platform/byte_order.h"
#include "platform/named_objects.h"
#include "session/protocol.h"
#include "support/output_support.h"
#include "support/session_support.h"
#include "support/video_support.h"

namespace tavin {
namespace {

namespace sl = driver::slot;

TEST(PictureFit, KeepsTheShapeWithBarsOrStretchesWithinTwoPixels) {
    // 1280 x 720 into 640 x 480 YUY2: rows 60..419.
    EXPECT_EQ(fitPicture(1280, 720, 640, 480, driver::kYuy2), (PictureFit{640, 360, 0, 60}));
    // Portrait into landscape: 405 rounded down to 400, centred.
    EXPECT_EQ(fitPicture(720, 1280, 1280, 720, driver::kBgr24), (PictureFit{400, 720, 440, 0}));
    EXPECT_EQ(fitPicture(1920, 1088, 1920, 1080, driver::kArgb), (PictureFit{1904, 1080, 8, 0}));
    EXPECT_EQ(fitPicture(1920, 1081, 1920, 1080, driver::kBgr24), (PictureFit{1920, 1080, 0, 0}));
    EXPECT_EQ(fitPicture(720, 1280, 1280, 720, driver::kI420), (PictureFit{1280, 720, 0, 0}));
    // A YUY2 bar stays even, so that the pixel pairs stay aligned; odd
    // sizes are converted one pixel short where chroma would run over.
    EXPECT_EQ(fitPicture(640, 360, 482, 200, driver::kYuy2), (PictureFit{352, 200, 64, 0}));
    EXPECT_EQ(fitPicture(640, 360, 482, 200, driver::kBgr24), (PictureFit{352, 200, 65, 0}));
    EXPECT_EQ(fitPicture(640, 360, 641, 361, driver::kI420), (PictureFit{640, 360, 0, 0}));
    EXPECT_EQ(fitPicture(0, 360, 640, 480, driver::kBgr24), PictureFit{});
}

TEST(PreviewSize, HalvesFrom3840WideAndFitsLargerPicturesKeepingTheirShape) {
    EXPECT_EQ(previewSize(1280, 720), (PreviewSize{1280, 720}));
    EXPECT_EQ(previewSize(3840, 2160), (PreviewSize{1920, 1080}));
    EXPECT_EQ(previewSize(4096, 2160), (PreviewSize{2048, 1080}));
    EXPECT_EQ(previewSize(2000, 4000), (PreviewSize{1080, 2160}));
    EXPECT_EQ(previewSize(16384, 16), (PreviewSize{3840, 3}));
}

// What the instance would do with publishing's requests.
class RecordingHost : public PublishingHost {
public:
    void sendToPhone(const void* message, std::size_t length) override {
        const auto* bytes = static_cast<const std::uint8_t*>(message);
        messages.emplace_back(bytes, bytes + length);
    }
    void reportFrameSize(std::int32_t width, std::int32_t height) override {
        sizes.push_back(std::to_string(width) + "x" + std::to_string(height));
    }
    bool feedsPreview() const override { return preview; }

    std::vector<std::vector<std::uint8_t>> messages;
    std::vector<std::string> sizes;
    bool preview = false;
};

// A picture of `width` x `height` from the simulator's stream (its third,
// so that the picture has moved).
AVFrame* decodedPicture(int width, int height) {
    const auto packets = test::encodeTestStream(protocol::format_request::kCodecH264, width, height, 3);
    test::PlainDecoder decoder;
    const AVFrame* picture = nullptr;
    for (const auto& p : packets) picture = decoder.decode(p);
    return picture ? av_frame_clone(picture) : nullptr;
}

AVPixelFormat formatOfKind(std::int32_t kind) {
    constexpr AVPixelFormat formats[] = {AV_PIX_FMT_BGR24, AV_PIX_FMT_YUYV422, AV_PIX_FMT_YUV420P, AV_PIX_FMT_ARGB};
    return formats[kind];
}

// The slot the test expects: `slot` with the picture, converted by swscale
// to the fitted size, placed where the fit puts it. Bottom-up pictures are
// converted from the source read last row first; their first converted row
// is the lowest address of the picture.
void placeReference(const AVFrame& picture, const OutputFormat& f, std::vector<std::uint8_t>& slot) {
    const int w = f.width, h = std::abs(f.height);
    const PictureFit fit = fitPicture(picture.width, picture.height, w, h, f.kind);
    const std::size_t bpp = driver::pictureBytes(f.kind, 1, 1);
    const bool bottomUp = f.height < 0;
    const std::uint8_t* src[4] = {picture.data[0], picture.data[1], picture.data[2], nullptr};
    int srcStride[4] = {picture.linesize[0], picture.linesize[1], picture.linesize[2], 0};
    if (bottomUp) {
        for (int p = 0; p < 3; ++p) {
            const int rows = p == 0 ? picture.height : (picture.height + 1) / 2;
            src[p] += static_cast<std::ptrdiff_t>(srcStride[p]) * (rows - 1);
            srcStride[p] = -srcStride[p];
        }
    }
    SwsContext* scaler = sws_getContext(picture.width, picture.height, static_cast<AVPixelFormat>(picture.format),
                                        fit.width, fit.height, formatOfKind(f.kind), SWS_FAST_BILINEAR, nullptr,
                                        nullptr, nullptr);
    ASSERT_TRUE(scaler);
    const std::size_t fw = static_cast<std::size_t>(fit.width), fh = static_cast<std::size_t>(fit.height);
    if (f.kind == driver::kI420) {
        std::vector<std::uint8_t> y(fw * fh + 64), u(fw * fh / 4 + 64), v(fw * fh / 4 + 64);
        std::uint8_t* dst[4] = {y.data(), u.data(), v.data(), nullptr};
        const int dstStride[4] = {fit.width, fit.width / 2, fit.width / 2, 0};
        sws_scale(scaler, src, srcStride, 0, picture.height, dst, dstStride);
        const std::size_t wh = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
        std::memcpy(slot.data(), y.data(), wh);
        std::memcpy(slot.data() + wh, u.data(), wh / 4);
        std::memcpy(slot.data() + 5 * wh / 4, v.data(), wh / 4);
    } else {
        std::vector<std::uint8_t> converted(bpp * fw * fh + 64);
        std::uint8_t* dst[4] = {converted.data(), nullptr, nullptr, nullptr};
        const int dstStride[4] = {static_cast<int>(bpp * fw), 0, 0, 0};
        sws_scale(scaler, src, srcStride, 0, picture.height, dst, dstStride);
        const std::size_t firstRow = bottomUp ? static_cast<std::size_t>(h - fit.y) - fh : static_cast<std::size_t>(fit.y);
        for (std::size_t r = 0; r < fh; ++r) {
            std::memcpy(slot.data() + bpp * ((firstRow + r) * static_cast<std::size_t>(w) + static_cast<std::size_t>(fit.x)),
                        converted.data() + r * bpp * fw, bpp * fw);
        }
    }
    sws_freeContext(scaler);
}

class PublisherTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);
        devicePathTable().clear();
        test::clearErrorRecord();
    }
    void TearDown() override {
        publisher_.reset();
        output_.reset();
        vcam_.reset();
        test::unlinkOutputObjects();
    }
    void start(std::vector<std::string> vcamArgs) {
        vcam_ = std::make_unique<test::Vcam>(dir_.path(), vcamArgs);
        ASSERT_TRUE(vcam_->ready());
        output_ = std::make_unique<CameraOutput>(0, controls_);
        ASSERT_EQ(output_->open(), 0);
        output_->setStreaming(true);  // the slots are the stream's, as after Capabilities
        publisher_ = std::make_unique<FramePublisher>(pair_, *output_, host_, preview_);
    }
    // Asks for a format and reopens the output, which takes it.
    void useFormat(const std::string& format) {
        ASSERT_TRUE(vcam_->command("format 0 " + format, "camera 0 format "));
        ASSERT_EQ(output_->open(), 0);
    }
    // Hands `picture` to publishing as the decoder would.
    void publish(const AVFrame& picture, float tag) {
        AVFrame* target = pair_.AcquireFrame();
        av_frame_unref(target);
        ASSERT_EQ(av_frame_ref(target, &picture), 0);
        pair_.markReady(target, floatBits(tag));
        publisher_->OnFrameDone(DecodeOutcome::Picture, floatBits(tag));
    }

    test::TempConfigHome config_;
    test::ScopedDeviceDir dir_;
    test::RecordingControls controls_;
    std::unique_ptr<test::Vcam> vcam_;
    std::unique_ptr<CameraOutput> output_;
    FramePair pair_;
    RecordingHost host_;
    PreviewPicture preview_;
    std::unique_ptr<FramePublisher> publisher_;
};

TEST_F(PublisherTest, SlotsHoldTheReferenceConversionForEveryKindAndRowOrder) {
    AVFrame* picture = decodedPicture(640, 360);
    ASSERT_TRUE(picture);
    start({"--cameras", "0"});
    auto region = test::mapRegion(0);
    ASSERT_TRUE(region);
    std::uint8_t* slot0 = region->data() + driver::region::kSlot0;
    constexpr std::uint8_t kMark = 0x5a;
    constexpr std::size_t kBeyond = 64;  // bytes after the picture that must stay untouched
    const char* formats[] = {"320x240@30:0", "320x-240@30:0", "480x200@30:0", "480x-200@30:3", "342x-192@30:0",
                             "320x240@30:3", "640x480@30:1", "482x200@30:1", "320x240@30:2"};
    float tag = 1.0f;
    for (const char* format : formats) {
        SCOPED_TRACE(format);
        useFormat(format);
        const OutputFormat f = output_->outputFormat();
        const std::size_t bytes = driver::pictureBytes(f.kind, static_cast<std::size_t>(f.width),
                                                       static_cast<std::size_t>(std::abs(f.height)));
        ASSERT_GT(bytes, 0u);
        std::memset(slot0, kMark, bytes + kBeyond);
        std::vector<std::uint8_t> expected(bytes + kBeyond, kMark);
        placeReference(*picture, f, expected);

        tag += 1.0f;
        publish(*picture, tag);
        EXPECT_EQ(std::memcmp(slot0, expected.data(), expected.size()), 0);
        EXPECT_EQ(readLeI32(slot0 + sl::kByteCount), static_cast<std::int32_t>(bytes));
        EXPECT_EQ(readLeF32(slot0 + sl::kTimeStamp), tag);
    }
    EXPECT_EQ(host_.sizes, std::vector<std::string>(std::size(formats), "640x360"));
    EXPECT_EQ(readErrorRecord(), "");
    av_frame_free(&picture);
}

TEST_F(PublisherTest, TimingCarriesThePreviousDurationsAndAFailedDecodeClearsTheSlots) {
    AVFrame* picture = decodedPicture(320, 240);
    ASSERT_TRUE(picture);
    start({"--cameras", "0", "--device", "--format", "320x240@30:0"});
    auto timing = [&](std::size_t i) {
        const auto& m = host_.messages.at(i);
        EXPECT_EQ(readLe32(m.data()), 0x09000010u);
        return std::vector<float>{readLeF32(m.data() + 4), readLeF32(m.data() + 8), readLeF32(m.data() + 12)};
    };
    publisher_->OnPacketStarted(floatBits(1.5f));
    publish(*picture, 1.5f);
    publisher_->OnPacketStarted(floatBits(2.5f));
    const std::vector<float> second = timing(1);
    EXPECT_EQ(timing(0), (std::vector<float>{1.5f, 0.0f, 0.0f}));
    EXPECT_EQ(second[0], 2.5f);
    EXPECT_GT(second[1], 0.0f);
    EXPECT_GT(second[2], 0.0f);
    ASSERT_EQ(readLe32(output_->slot(0) + sl::kReady), 1u);

    publisher_->OnFrameDone(DecodeOutcome::NoPicture, floatBits(2.5f));
    EXPECT_EQ(readLe32(output_->slot(0) + sl::kReady), 0u);
    EXPECT_EQ(readLeI32(output_->slot(0) + sl::kByteCount), 0);
    publisher_->OnPacketStarted(floatBits(3.5f));
    EXPECT_EQ(timing(2), (std::vector<float>{3.5f, second[1], second[2]}));
    av_frame_free(&picture);
}

TEST_F(PublisherTest, DeviceTransportFillsFreeLocalSlotsOnlyAndSignals) {
    AVFrame* picture = decodedPicture(320, 240);
    ASSERT_TRUE(picture);
    start({"--cameras", "0", "--device", "--format", "320x240@30:0"});
    auto event = platform::NamedEvent::open(driver::kEventNames[0]);
    ASSERT_TRUE(event);
    event->reset();
    publish(*picture, 1.0f);
    publish(*picture, 2.0f);
    EXPECT_TRUE(event->isSet());
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(readLe32(output_->slot(i) + sl::kReady), 1u);
        EXPECT_EQ(readLeF32(output_->slot(i) + sl::kTimeStamp), 1.0f + static_cast<float>(i));
        EXPECT_EQ(readLeI32(output_->slot(i) + sl::kByteCount), 320 * 240 * 3);
    }
    // Both wait to be sent: the next picture does not reach the driver, but
    // the host still hears its size.
    publish(*picture, 3.0f);
    EXPECT_EQ(readLeF32(output_->slot(0) + sl::kTimeStamp), 1.0f);
    EXPECT_EQ(readLeF32(output_->slot(1) + sl::kTimeStamp), 2.0f);
    EXPECT_EQ(host_.sizes.size(), 3u);
    av_frame_free(&picture);
}

TEST_F(PublisherTest, TheActiveInstanceFillsAHalvedPreviewOf3840WidePictures) {
    start({"--cameras", "0", "--format", "640x360@30:1"});
    AVFrame* picture = av_frame_alloc();
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = 3840;
    picture->height = 2160;
    ASSERT_EQ(av_frame_get_buffer(picture, 0), 0);
    for (int p = 0; p < 3; ++p) {
        std::memset(picture->data[p], p == 0 ? 200 : 128,
                    static_cast<std::size_t>(picture->linesize[p]) * (p == 0 ? 2160 : 1080));
    }
    publish(*picture, 1.0f);
    EXPECT_FALSE(preview_.ready());  // not the active instance
    host_.preview = true;
    publish(*picture, 2.0f);
    ASSERT_TRUE(preview_.ready());
    EXPECT_EQ(preview_.width(), 1920);
    EXPECT_EQ(preview_.height(), 1080);
    const std::uint8_t* last = preview_.pixels() + (1920 * 1080 - 1) * 4;
    EXPECT_EQ(last[3], 255);  // B, G, R, A: opaque
    EXPECT_NEAR(last[0], 213, 2);  // Y 200 with neutral chroma
    // The host hears the decoded size, once per change of size.
    EXPECT_EQ(host_.sizes, (std::vector<std::string>{"3840x2160", "3840x2160"}));
    av_frame_free(&picture);
}

}  // namespace
}  // namespace tavin
