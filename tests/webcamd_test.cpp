// The camera daemon's parts that need no PipeWire: the formats a node
// offers and the request a negotiated format becomes, presentation times,
// the sound waiting for the graph, the v4l2loopback format of a picture,
// and copying pictures right way up.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cmath>
#include <limits>
#include <vector>

#include "audio_buffer.h"
#include "driver/picture_layout.h"
#include "format_offer.h"
#include "output/driver_layout.h"
#include "stamp_clock.h"
#include "v4l2_output.h"

namespace tavin::webcamd {
namespace {

driverside::DriverFormatList listOf(std::initializer_list<driverside::DriverFormatList::Entry> entries) {
    driverside::DriverFormatList list;
    for (const auto& e : entries) list.items[list.entries++] = e;
    list.count = list.entries;
    return list;
}

TEST(FormatOffer, TheCatalogueWithoutAListAndTheListsUsableEntriesWithIt) {
    const std::vector<OfferedSize> catalogue = offeredSizes({});
    ASSERT_EQ(catalogue.size(), 10u);
    EXPECT_EQ(catalogue[0], (OfferedSize{1280, 720, {{30, 1}, {60, 1}}}));  // the default comes first
    EXPECT_EQ(catalogue[1].width, 640);
    EXPECT_EQ(catalogue[9], (OfferedSize{1080, 1920, {{30, 1}, {60, 1}}}));

    // The engine's list: one size at 30 and 60.06 gathered; entries that no
    // offered kind can carry are left out.
    const auto sizes = offeredSizes(listOf({{1920, 1080, 30'000, 0},
                                            {0, 480, 30'000, 0},
                                            {641, 481, 30'000, 0},
                                            {9000, 9000, 30'000, 0},
                                            {640, 480, 0, 0},
                                            {1920, 1080, 60'060, 0},
                                            {642, 480, 25'000, 0}}));
    ASSERT_EQ(sizes.size(), 2u);
    EXPECT_EQ(sizes[0], (OfferedSize{1920, 1080, {{30, 1}, {3003, 50}}}));
    EXPECT_EQ(sizes[1], (OfferedSize{642, 480, {{25, 1}}}));
    // Nothing usable: the catalogue again.
    EXPECT_EQ(offeredSizes(listOf({{0, 0, 0, 0}})), catalogue);

    // Rows that line up to 4 bytes only.
    EXPECT_TRUE(kindOffered(driver::kYuy2, 642, 480));
    EXPECT_FALSE(kindOffered(driver::kBgr24, 642, 480));
    EXPECT_FALSE(kindOffered(driver::kI420, 642, 480));
    EXPECT_TRUE(kindOffered(driver::kI420, 1080, 1920));
    EXPECT_FALSE(kindOffered(driver::kI420, 1280, 721));
    EXPECT_FALSE(kindOffered(driver::kArgb, 1280, 720));
    EXPECT_TRUE(kindOffered(driver::kBgr24, 3840, 2160));  // the largest fits a slot
}

TEST(FormatOffer, ANegotiatedFormatBecomesTheNearestOfferedRequest) {
    const std::vector<OfferedSize> catalogue = offeredSizes({});
    RequestChoice c = requestFor({driver::kI420, 640, 480, {60, 1}}, catalogue);
    EXPECT_TRUE(c.exact);
    EXPECT_EQ(c.request, (driverside::RequestedFormat{640, 480, 60.0f, driver::kI420}));

    // A size nobody offered: the nearest one, never a request the engine
    // cannot write.
    c = requestFor({driver::kI420, 1000, 700, {25, 1}}, catalogue);
    EXPECT_FALSE(c.exact);
    EXPECT_EQ(c.request, (driverside::RequestedFormat{960, 540, 30.0f, driver::kI420}));
    // A kind that is not ours: the preferred one.
    c = requestFor({-1, 1280, 720, {30, 1}}, catalogue);
    EXPECT_FALSE(c.exact);
    EXPECT_EQ(c.request.kind, driver::kYuy2);
    // A list whose only size has no I420: YUY2 instead.
    c = requestFor({driver::kI420, 642, 480, {25, 1}}, offeredSizes(listOf({{642, 480, 25'000, 0}})));
    EXPECT_EQ(c.request, (driverside::RequestedFormat{642, 480, 25.0f, driver::kYuy2}));
    EXPECT_EQ(requestFor({driver::kYuy2, 640, 480, {30, 1}}, {}).request.width, 0);
}

TEST(StampClock, KeepsTheSlotsSpacingAndNeverGoesBack) {
    constexpr std::uint64_t kSecond = 1'000'000'000;
    StampClock clock;
    const std::uint64_t t0 = 50 * kSecond;
    EXPECT_EQ(clock.place(100.0f, t0), t0);
    // The phone's spacing counts, not the moment of taking.
    EXPECT_EQ(clock.place(100.5f, t0 + kSecond / 10), t0 + kSecond / 2);
    // Backwards (the engine's idle picture after the phone's): the moment
    // of taking, later than the last time placed.
    const std::uint64_t back = clock.place(3.0f, t0 + kSecond);
    EXPECT_EQ(back, t0 + kSecond);
    // A jump of more than a second, or a drift beyond a second: anew.
    EXPECT_EQ(clock.place(10.0f, t0 + 2 * kSecond), t0 + 2 * kSecond);
    std::uint64_t last = t0 + 2 * kSecond;
    for (int i = 1; i <= 20; ++i) last = clock.place(10.0f + 0.9f * static_cast<float>(i), t0 + 2 * kSecond);
    EXPECT_LE(last, t0 + 3 * kSecond);
    // Equal stamps and no stamp still move forward.
    const std::uint64_t a = clock.place(40.0f, t0 + 4 * kSecond);
    EXPECT_GT(clock.place(40.0f, t0 + 4 * kSecond), a);
    EXPECT_GT(clock.place(std::numeric_limits<float>::quiet_NaN(), t0), a);
}

TEST(AudioBuffer, GathersTheStartLevelPlaysInOrderAndBoundsWhatItHolds) {
    AudioBuffer buffer;
    std::vector<std::uint8_t> in(AudioBuffer::kStartLevel - 2);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::uint8_t>(i + 1);
    EXPECT_EQ(buffer.push(in.data(), in.size()), in.size());
    std::vector<std::uint8_t> out(64, 0xff);
    EXPECT_EQ(buffer.pull(out.data(), out.size()), 0u);  // below the start level: silence
    EXPECT_EQ(out, std::vector<std::uint8_t>(64, 0));
    const std::uint8_t two[3] = {7, 8, 9};
    EXPECT_EQ(buffer.push(two, 3), AudioBuffer::kStartLevel);  // whole samples only
    EXPECT_EQ(buffer.pull(out.data(), out.size()), 64u);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[63], 64);

    // Drained: the rest, then silence, and gathering again.
    std::vector<std::uint8_t> rest(AudioBuffer::kStartLevel);
    EXPECT_EQ(buffer.pull(rest.data(), rest.size()), AudioBuffer::kStartLevel - 64);
    EXPECT_EQ(rest[AudioBuffer::kStartLevel - 65], 8);
    EXPECT_EQ(rest.back(), 0);
    EXPECT_EQ(buffer.underruns(), 1u);
    EXPECT_EQ(buffer.push(two, 2), 2u);
    EXPECT_EQ(buffer.pull(out.data(), 2), 0u);

    // Never more than a second; the rest is dropped and counted, and the
    // ring's wrap keeps the order.
    std::vector<std::uint8_t> big(AudioBuffer::kCapacity);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 3);
    EXPECT_EQ(buffer.push(big.data(), big.size()), AudioBuffer::kCapacity);
    EXPECT_EQ(buffer.droppedBytes(), 2u);
    EXPECT_EQ(buffer.pull(out.data(), 2), 2u);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(out[1], 8);
    EXPECT_EQ(buffer.push(big.data(), 2), AudioBuffer::kCapacity);
    std::vector<std::uint8_t> all(AudioBuffer::kCapacity);
    EXPECT_EQ(buffer.pull(all.data(), all.size()), AudioBuffer::kCapacity);
    EXPECT_EQ(all[0], big[0]);
    EXPECT_EQ(all[AudioBuffer::kCapacity - 3], static_cast<std::uint8_t>((AudioBuffer::kCapacity - 3) * 3));
    EXPECT_EQ(all[AudioBuffer::kCapacity - 1], big[1]);
    buffer.clear();
    EXPECT_EQ(buffer.level(), 0u);
}

TEST(V4l2Format, EachPixelKindMapsToItsLoopbackFormatRowsTopDown) {
    auto f = v4l2FormatOf({1280, 720, driver::kYuy2});
    ASSERT_TRUE(f);
    EXPECT_EQ(*f, (V4l2Format{V4L2_PIX_FMT_YUYV, 1280, 720, 2560, 1280 * 720 * 2, V4L2_COLORSPACE_SMPTE170M}));
    f = v4l2FormatOf({640, 480, driver::kI420});
    ASSERT_TRUE(f);
    EXPECT_EQ(*f, (V4l2Format{V4L2_PIX_FMT_YUV420, 640, 480, 640, 640 * 480 * 3 / 2, V4L2_COLORSPACE_SMPTE170M}));
    f = v4l2FormatOf({640, -480, driver::kBgr24});  // bottom-up in the slot, written upright
    ASSERT_TRUE(f);
    EXPECT_EQ(*f, (V4l2Format{V4L2_PIX_FMT_BGR24, 640, 480, 1920, 640 * 480 * 3, V4L2_COLORSPACE_SRGB}));
    f = v4l2FormatOf({320, 240, driver::kArgb});
    ASSERT_TRUE(f);
    EXPECT_EQ(f->pixelFormat, static_cast<std::uint32_t>(V4L2_PIX_FMT_ARGB32));
    EXPECT_EQ(f->bytesPerLine, 1280u);
    EXPECT_FALSE(v4l2FormatOf({640, 480, 7}));
    EXPECT_FALSE(v4l2FormatOf({0, 480, driver::kYuy2}));
    EXPECT_FALSE(v4l2FormatOf({3840, 2160, driver::kArgb}));  // more than a slot holds
}

TEST(PictureLayout, BottomUpPicturesAreTurnedRightWayUp) {
    // Three rows of two BGR pixels, stored last row first.
    const std::vector<std::uint8_t> stored = {3, 3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1};
    std::vector<std::uint8_t> upright(stored.size());
    EXPECT_EQ(driverside::copyUpright(upright.data(), stored.data(), {2, -3, driver::kBgr24}), stored.size());
    EXPECT_EQ(upright, (std::vector<std::uint8_t>{1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3}));
    // Top-down pictures are copied as they are.
    EXPECT_EQ(driverside::copyUpright(upright.data(), stored.data(), {3, 3, driver::kBgr24 + 1}), 18u);
    EXPECT_EQ(upright, stored);
    EXPECT_EQ(driverside::copyUpright(upright.data(), stored.data(), {3, 3, 9}), 0u);
}

}  // namespace
}  // namespace tavin::webcamd
