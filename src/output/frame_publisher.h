// The road of a decoded picture to its consumers, on the decoding thread:
// the picture is fitted into the format the camera's consumer asked for,
// converted with swscale straight into a frame slot of the camera output,
// copied as BGRA into the process's preview picture when this instance
// feeds the preview, and its size is told to the host. The durations of
// decoding and publishing go back to the phone in a Timing message when
// the next packet starts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/video_decoder.h"
#include "output/camera_output.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

struct AVFrame;
struct SwsContext;

namespace tavin {

class FramePair;
class PreviewPicture;

// What publishing needs of its engine instance.
class PublishingHost {
public:
    // Sends a whole message to the phone of the current session; nothing
    // without one.
    virtual void sendToPhone(const void* message, std::size_t length) = 0;
    // Callback 2 (raised only when the size changes).
    virtual void reportFrameSize(std::int32_t width, std::int32_t height) = 0;
    // This instance's pictures fill the preview.
    virtual bool feedsPreview() const = 0;

protected:
    ~PublishingHost() = default;
};

// Where a picture lands in a slot's picture of W x H pixels. Kinds 0, 1
// and 3 keep the picture's shape: a picture narrower than the slot's gets
// bars left and right (its width a multiple of 8, centred), a flatter one
// bars above and below; one within 2 pixels of the slot's shape is
// stretched. Kind 2 is always stretched. Kinds 1 and 2 convert even widths
// (and kind 2 even heights), so that their chroma never runs past a row.
struct PictureFit {
    int width = 0;   // of the converted picture
    int height = 0;
    int x = 0;       // left bar
    int y = 0;       // top bar
    bool operator==(const PictureFit&) const = default;
};
PictureFit fitPicture(int pictureWidth, int pictureHeight, int width, int height, std::int32_t kind);

// The destination of a fitted picture inside a slot starting at `base`.
// Rows keep the slot's row length (W pixels) whatever the fit. Bottom-up
// pictures (kinds 0 and 3 with a negative height) are written from the
// lowest row address up, reading the source last row first, so that the
// rows are written in address order like top-down ones.
struct SlotTarget {
    AVPixelFormat format = AV_PIX_FMT_NONE;
    std::uint8_t* planes[4] = {};
    int strides[4] = {};
    bool flipped = false;    // read the source last row first
    std::size_t end = 0;     // offset just past the converted picture's last row
    std::int32_t bytes = 0;  // the byte count of the whole W x H picture
};
// False for a kind outside 0..3.
bool slotTarget(std::uint8_t* base, const OutputFormat& format, const PictureFit& fit, SlotTarget& out);

// Size of the preview copy of a picture: as decoded, halved from 3840
// pixels wide up, and scaled down (keeping its shape) to fit the preview
// picture.
struct PreviewSize {
    int width = 0;
    int height = 0;
    bool operator==(const PreviewSize&) const = default;
};
PreviewSize previewSize(int pictureWidth, int pictureHeight);

// swscale's vector code writes a little past the end of a row whose width
// is not a multiple of 8 (up to 24 bytes measured); this much room must
// follow the last row of every conversion target. The 32 spare bytes of a
// slot's pixel area after a 3840 x 2160 24-bit picture are that room.
inline constexpr std::size_t kScalerSlack = 32;

class FramePublisher final : public DecoderEvents {
public:
    FramePublisher(FramePair& frames, CameraOutput& output, PublishingHost& host, PreviewPicture& preview);
    ~FramePublisher();
    FramePublisher(const FramePublisher&) = delete;
    FramePublisher& operator=(const FramePublisher&) = delete;

    // Sends Timing with the previous picture's durations (0 before the
    // first one), then starts the clock for this packet.
    void OnPacketStarted(std::uint32_t tagBits) override;
    // Without a picture: clears the camera's slots. With one: publishes the
    // ready picture of the frame pair (see the file comment).
    void OnFrameDone(DecodeOutcome outcome, std::uint32_t tagBits) override;

private:
    void writeSlot(std::uint8_t* slot, const AVFrame& picture, const OutputFormat& format, std::uint32_t tagBits);
    void writePreview(const AVFrame& picture);

    FramePair& frames_;
    CameraOutput& output_;
    PublishingHost& host_;
    PreviewPicture& preview_;
    double packetStart_ = 0.0;
    double decodeSeconds_ = 0.0;
    float publishSeconds_ = 0.0f;
    SwsContext* slotScaler_ = nullptr;
    SwsContext* previewScaler_ = nullptr;
};

}  // namespace tavin
