// The packet ring, the frame pair and the video decoder with real streams
// from the phone simulator's encoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

#include "engine/error_record.h"
#include "media/frame_pair.h"
#include "media/packet_ring.h"
#include "media/video_decoder.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "support/output_support.h"
#include "support/session_support.h"
#include "support/video_support.h"

namespace tavin {
namespace {

std::vector<std::uint8_t> pattern(std::uint32_t length, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(length);
    for (std::uint32_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 16));
    return bytes;
}

TEST(PacketRing, PacketsWrapAroundTheEndAndComeOutWholeAndInOrder) {
    PacketRing ring;
    ASSERT_TRUE(ring.valid());
    std::vector<std::uint8_t> out(PacketRing::kCapacity);
    const auto a = pattern(3'000'000, 1), b = pattern(3'000'000, 2), c = pattern(3'500'000, 3);
    ASSERT_EQ(ring.push(11, a.data(), 3'000'000), PacketRing::PushResult::Queued);
    ASSERT_EQ(ring.push(22, b.data(), 3'000'000), PacketRing::PushResult::Queued);
    PacketRing::Entry entry;
    ASSERT_TRUE(ring.pop(entry, out.data()));
    EXPECT_EQ(entry.tagBits, 11u);
    // c starts 1,000,000 bytes before the end and continues at offset 0.
    ASSERT_EQ(ring.push(33, c.data(), 3'500'000), PacketRing::PushResult::Queued);
    ASSERT_TRUE(ring.pop(entry, out.data()));
    EXPECT_EQ(entry.tagBits, 22u);
    EXPECT_TRUE(std::equal(b.begin(), b.end(), out.begin()));
    ASSERT_TRUE(ring.pop(entry, out.data()));
    EXPECT_EQ(entry.tagBits, 33u);
    EXPECT_EQ(entry.length, 3'500'000u);
    EXPECT_TRUE(std::equal(c.begin(), c.end(), out.begin()));
    EXPECT_FALSE(ring.pop(entry, out.data()));
    EXPECT_EQ(ring.used(), 0u);
}

TEST(PacketRing, APacketExactlyAsLargeAsTheFreeRoomFitsOneByteMoreDoesNot) {
    PacketRing ring;
    ASSERT_TRUE(ring.valid());
    const auto bytes = pattern(PacketRing::kCapacity, 9);
    ASSERT_EQ(ring.push(1, bytes.data(), 1'000), PacketRing::PushResult::Queued);
    EXPECT_EQ(ring.push(2, bytes.data(), ring.freeRoom() + 1), PacketRing::PushResult::NoRoom);
    EXPECT_EQ(ring.push(2, bytes.data(), ring.freeRoom()), PacketRing::PushResult::Queued);
    EXPECT_EQ(ring.freeRoom(), 0u);
    EXPECT_EQ(ring.push(3, bytes.data(), 1), PacketRing::PushResult::NoRoom);
    EXPECT_EQ(ring.push(3, bytes.data(), 0), PacketRing::PushResult::Queued);  // empty packets take no room
}

TEST(FramePair, TakesTheOlderReadyPictureAndReusesTheOlderAfterAbout100ms) {
    FramePair pair;
    AVFrame* first = pair.AcquireFrame();
    AVFrame* second = pair.AcquireFrame();
    ASSERT_TRUE(first && second && first != second);
    pair.markReady(first, floatBits(5.0f));
    pair.markReady(second, floatBits(5.0f));
    auto taken = pair.takeReady();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->picture, second);  // equal tags: entry 1
    pair.markReady(second, floatBits(7.0f));
    taken = pair.takeReady();
    EXPECT_EQ(taken->picture, first);  // the smaller tag
    pair.markReady(first, floatBits(5.0f));

    // Both entries hold pictures: the wait ends after about 100 ms with the
    // entry of the older tag.
    const double start = platform::processClock();
    EXPECT_EQ(pair.AcquireFrame(), first);
    EXPECT_GE(platform::processClock() - start, 0.09);
    pair.clear();
    EXPECT_FALSE(pair.takeReady());
    EXPECT_EQ(pair.AcquireFrame(), first);
}

// Keeps what the decoder reports, and a copy of each picture it made.
class RecordingEvents : public DecoderEvents {
public:
    explicit RecordingEvents(FramePair& pair) : pair_(pair) {}
    ~RecordingEvents() {
        for (AVFrame*& f : pictures_) av_frame_free(&f);
    }
    void OnPacketStarted(std::uint32_t tagBits) override { add("started " + std::to_string(tagBits)); }
    void OnFrameDone(DecodeOutcome outcome, std::uint32_t tagBits) override {
        if (outcome == DecodeOutcome::Picture) {
            if (auto taken = pair_.takeReady()) {
                pictures_.push_back(av_frame_clone(taken->picture));
                pair_.release(taken->entry);
            }
        }
        add((outcome == DecodeOutcome::Picture ? "picture " : "none ") + std::to_string(tagBits));
    }
    bool waitForLines(std::size_t count) {
        std::unique_lock<std::mutex> lock(lock_);
        return changed_.wait_for(lock, std::chrono::milliseconds(test::kWaitMs), [&] { return lines_.size() >= count; });
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_;
    }
    const std::vector<AVFrame*>& pictures() const { return pictures_; }

private:
    void add(std::string line) {
        std::lock_guard<std::mutex> guard(lock_);
        lines_.push_back(std::move(line));
        changed_.notify_all();
    }
    FramePair& pair_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::vector<AVFrame*> pictures_;  // decoding thread only, read after it was joined
};

TEST(VideoDecoder, DecodesEachPacketAtOnceIntoTheSamePicturesAsPlainLibavcodec) {
    test::TempConfigHome config;
    test::clearErrorRecord();
    const auto packets = test::encodeTestStream(protocol::format_request::kCodecH264, 320, 240, 8);
    ASSERT_EQ(packets.size(), 8u);
    FramePair pair;
    RecordingEvents events(pair);
    {
        auto decoder = VideoDecoder::CreateDecoder(events, pair, VideoCodec::H264);
        ASSERT_TRUE(decoder);
        EXPECT_EQ(decoder->codec(), VideoCodec::H264);
        // Larger than the whole (empty) ring: refused with a record of its
        // size and the free room.
        const std::vector<std::uint8_t> huge(PacketRing::kCapacity + 1);
        decoder->PushPacket(901, huge.data(), static_cast<std::uint32_t>(huge.size()));
        EXPECT_EQ(readErrorRecord(), "we:sd.L7000001.F7000000:153");
        for (std::uint32_t i = 0; i < packets.size(); ++i) {
            decoder->PushPacket(100 + i, packets[i].data(), static_cast<std::uint32_t>(packets[i].size()));
            if (i == 3) decoder->PushPacket(555, packets[i].data(), 0);  // dropped undecoded
        }
        const std::vector<std::uint8_t> garbage(500, 0xff);
        decoder->PushPacket(900, garbage.data(), static_cast<std::uint32_t>(garbage.size()));
        ASSERT_TRUE(events.waitForLines(2 * packets.size() + 2));
    }
    std::vector<std::string> expected;
    for (std::uint32_t i = 0; i < packets.size(); ++i) {
        expected.push_back("started " + std::to_string(100 + i));
        expected.push_back("picture " + std::to_string(100 + i));
    }
    expected.push_back("started 900");  // no picture, and no record for it
    expected.push_back("none 900");
    EXPECT_EQ(events.lines(), expected);
    EXPECT_EQ(readErrorRecord(), "we:sd.L7000001.F7000000:153");

    test::PlainDecoder plain;
    ASSERT_EQ(events.pictures().size(), packets.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const AVFrame* reference = plain.decode(packets[i]);
        ASSERT_TRUE(reference);
        EXPECT_TRUE(test::samePicture(*events.pictures()[i], *reference)) << "picture " << i;
    }
}

TEST(VideoDecoder, HevcIsDecodedOnlyWithAVaapiDevice) {
    FramePair pair;
    RecordingEvents events(pair);
    auto decoder = VideoDecoder::CreateDecoder(events, pair, VideoCodec::Hevc);
    if (test::vaapiAvailable()) {
        ASSERT_TRUE(decoder);
        EXPECT_EQ(decoder->codec(), VideoCodec::Hevc);
    } else {
        EXPECT_FALSE(decoder);  // the instance then asks the phone for H.264
    }
}

}  // namespace
}  // namespace tavin
