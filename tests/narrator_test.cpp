// The main job's narrator on lines as the host program, the driver
// substitute and the phone simulator print them: a phone list is told when
// it changes, a stream with its phone, size and codec, and pictures the
// camera never got (a gap in the phone's capture stamps) as dropped, in the
// per-second line and in the summary with the errors recorded.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "narrator/narrator.h"

using tavin::narrator::Narrator;

namespace {

class NarratorTest : public ::testing::Test {
protected:
    Narrator narrator_{[this](const std::string& line) { said_.push_back(line); }};
    std::vector<std::string> said_;

    int count(const std::string& text) const {
        int n = 0;
        for (const std::string& line : said_) n += line.find(text) != std::string::npos;
        return n;
    }
    // The engine opens slot 0, a phone connects and streams 1280 x 720.
    void streamSlot0(double now) {
        narrator_.hostLine("status 0 0", now);
        narrator_.hostLine("call EOpen -> 0", now);
        narrator_.phoneLine("Simulated phone", "phone: rx FormatRequest codec=1 1280x720@30", now);
        narrator_.hostLine("status 0 2", now);
        narrator_.hostLine("status 0 3", now);
        narrator_.hostLine("framesize 0 1280x720", now);
        for (int repeat = 0; repeat < 2; ++repeat) {
            narrator_.hostLine("phone 0 0 key=1 name=\"Simulated phone [WiFi]\" current=1", now);
            narrator_.hostLine("phone 0 1 key=2 name=\"Cable phone\" current=0", now);
            narrator_.settle(now + Narrator::kListQuietSeconds);
        }
    }
    // One set of the driver substitute's statistics for camera 0.
    void stats(double now, int frames, double stamp, int soundBytes) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "vcam: stats camera 0 frames %d mismatched 0 fps 30.0 picture 1280x720 kind 1 stamp %.6f "
                      "consumer on request 1280x720@30:1 attached yes formats 0",
                      frames, stamp);
        narrator_.vcamLine(line, now);
        std::snprintf(line, sizeof line,
                      "vcam: stats audio 0 writes 50 bytes %d level 4000 high 5000 overflow 0 underruns 0 peak 8192",
                      soundBytes);
        narrator_.vcamLine(line, now);
        narrator_.settle(now);
    }
};

TEST_F(NarratorTest, TellsTheStreamAndEachPhoneListOnce) {
    streamSlot0(1.0);
    EXPECT_EQ(count("Camera \"Tavin Webcam\" is connecting to a phone."), 1);
    EXPECT_EQ(count("Found \"Simulated phone\" [WiFi] for camera \"Tavin Webcam\"."), 1);
    EXPECT_EQ(count("Camera \"Tavin Webcam\" shows \"Simulated phone\" [WiFi] at 1280 x 720, H.264."), 1);
    EXPECT_EQ(count("Phones for camera \"Tavin Webcam\": \"Simulated phone\" [WiFi] (streaming here), "
                    "\"Cable phone\"."),
              1);
    narrator_.hostLine("phone 0 0 key=1 name=\"Simulated phone [WiFi]\" current=1", 3.0);
    narrator_.settle(3.0, Narrator::SettleLists::All);
    EXPECT_EQ(count("Phones for camera"), 2);
}

TEST_F(NarratorTest, CountsPicturesMissingFromThePhonesStampsAsDropped) {
    streamSlot0(1.0);
    // Two statistics open the count; then 30 pictures a second, except a
    // second in which 3 of the phone's 30 never arrived.
    stats(2.0, 40, 100.0, 96'000);
    stats(3.0, 70, 101.0, 192'000);
    stats(4.0, 100, 102.0, 288'000);
    EXPECT_EQ(count("Camera \"Tavin Webcam\" 30.0 pictures/s, 0 dropped, sound -12 dBFS."), 2);
    stats(5.0, 127, 103.0, 384'000);
    EXPECT_EQ(count("30.0 pictures/s, 3 dropped, sound -12 dBFS."), 1);
    stats(6.0, 157, 104.0, 384'000);
    EXPECT_EQ(count("30.0 pictures/s, 0 dropped, no sound."), 1);

    narrator_.phoneLine("Simulated phone", "phone: rx ErrorReport text=we:sd:153", 6.5);
    narrator_.summarize(7.0, "we:s:676");
    EXPECT_EQ(count("Camera \"Tavin Webcam\" showed \"Simulated phone\" [WiFi] at 1280 x 720, H.264: 87 pictures "
                    "in 3.0 s (29.0 a second), 3 dropped; 4.0 s of sound."),
              1);
    EXPECT_EQ(count("Errors recorded: \"we:sd:153\" (reported to \"Simulated phone\"), \"we:s:676\" (still stored)."),
              1);
}

}  // namespace
