// The format choice, the host's format text and the driver format list.
#include <gtest/gtest.h>

#include <vector>

#include "engine/formats.h"

using namespace tavin;

namespace {

std::vector<VideoFormat> offered(std::vector<VideoFormat> list) {
    normaliseOffered(list);
    return list;
}

FormatInputs idle() { return FormatInputs{}; }

}  // namespace

TEST(FormatText, ListsPortraitSizesOnlyWhenOffered) {
    EXPECT_EQ(formatText(false),
              "Automatic/640 x 360/640 x 480/960 x 540/1280 x 720/1280 x 960/1920 x 1080/2560 x 1440/3840 x 2160");
    EXPECT_EQ(formatText(true),
              "Automatic/640 x 360/640 x 480/960 x 540/1280 x 720/1280 x 960/1920 x 1080/2560 x 1440/3840 x 2160"
              "/720 x 1280/1080 x 1920");
    EXPECT_TRUE(offersPortrait(std::vector<VideoFormat>{{1280, 720, 30}, {720, 1280, 30}}));
    EXPECT_FALSE(offersPortrait(std::vector<VideoFormat>{{1280, 720, 30}, {720, 720, 30}}));
}

TEST(OfferedList, SortedByPixelsAndNeverEmpty) {
    auto list = offered({{1920, 1080, 30}, {640, 480, 30}, {1280, 720, 30}});
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].width, 640u);
    EXPECT_EQ(list[2].width, 1920u);
    auto none = offered({});
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0], (VideoFormat{640, 480, 30.0f}));
}

TEST(WantedFormat, ChoosesByRatioThenSize) {
    const auto list = offered({{640, 480, 30}, {1280, 720, 30}, {1920, 1080, 30}});
    // Base 640 x 360: 640 x 480 fails the ratio at the first tolerance,
    // 1280 x 720 passes size and ratio.
    EXPECT_EQ(wantedFormat(list, idle()), (VideoFormat{1280, 720, 30}));

    // Nothing as large as 3840 x 2160: the largest 16:9 one.
    FormatInputs in = idle();
    in.chosenIndex = 8;
    EXPECT_EQ(wantedFormat(list, in), (VideoFormat{1920, 1080, 30}));

    // The active instance defaults to 1280 x 720; a catalogue index wins
    // over the reader's request.
    in = idle();
    in.active = true;
    EXPECT_EQ(wantedFormat(list, in), (VideoFormat{1280, 720, 30}));
    in.consumerActive = true;
    in.output = {1920, 1080, 30.0f, 1};
    in.chosenIndex = 2;
    EXPECT_EQ(wantedFormat(list, in), (VideoFormat{640, 480, 30}));
}

TEST(WantedFormat, WidensTheToleranceToTheTenthAttempt) {
    // 640 x 480 against 640 x 360 differs by 0.444: it passes only at 0.46.
    EXPECT_EQ(wantedFormat(offered({{640, 480, 30}}), idle()), (VideoFormat{640, 480, 30}));
    // A ratio no tolerance reaches: the closest width.
    FormatInputs in = idle();
    in.consumerActive = true;
    in.output = {1000, 100, 30.0f, 0};
    EXPECT_EQ(wantedFormat(offered({{640, 480, 30}, {1280, 960, 30}}), in), (VideoFormat{1280, 960, 30}));
}

TEST(WantedFormat, PrefersTheReadersRate) {
    const auto list = offered({{1280, 720, 30}, {1280, 720, 60}});
    FormatInputs in = idle();
    in.consumerActive = true;
    in.output = {1280, 720, 60.0f, 1};
    EXPECT_EQ(wantedFormat(list, in), (VideoFormat{1280, 720, 60}));
    in.output.fps = 30.0f;
    EXPECT_EQ(wantedFormat(list, in), (VideoFormat{1280, 720, 30}));
}

TEST(WantedFormat, BottomUpHeightCountsAsPositive) {
    const auto list = offered({{640, 480, 30}, {1280, 720, 30}, {1920, 1080, 30}});
    FormatInputs in = idle();
    in.consumerActive = true;
    in.output = {1920, -1080, 30.0f, 0};
    EXPECT_EQ(wantedFormat(list, in), (VideoFormat{1920, 1080, 30}));
    in.output = {640, 0, 30.0f, 0};  // no height: ratio 1.33
    EXPECT_EQ(wantedFormat(list, in), (VideoFormat{640, 480, 30}));
}

TEST(FormatChange, OnlySizeOrRateBeyondHalfAFrame) {
    const VideoFormat base{1280, 720, 30.0f};
    EXPECT_FALSE(formatChanged(base, {1280, 720, 30.4f}));
    EXPECT_TRUE(formatChanged(base, {1280, 720, 30.6f}));
    EXPECT_TRUE(formatChanged(base, {1920, 1080, 30.0f}));
}

TEST(DriverFormatList, TwoEntriesForACatalogueSize) {
    const auto portrait = driverFormatList(9, true);
    ASSERT_EQ(portrait.size(), 2u);
    EXPECT_EQ(portrait[0].width, 720u);
    EXPECT_EQ(portrait[0].height, 1280u);
    EXPECT_EQ(portrait[0].fpsMilli, 30000u);
    EXPECT_EQ(portrait[1].fpsMilli, 60060u);
    EXPECT_TRUE(driverFormatList(0, true).empty());
    EXPECT_TRUE(driverFormatList(11, true).empty());
    EXPECT_TRUE(driverFormatList(4, false).empty());
}
