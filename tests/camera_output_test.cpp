// The camera output against the driver substitute tools/vcam (shared region,
// device interface 100 and the legacy interface 2), and the device path
// table over the capture-device directory. Replies that vcam never gives
// (cut short) come from a device server of the test's own.
//
// The named objects have fixed names, so every test that makes them lives
// in this one program; gtest runs them one after another.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>
#include <sstream>
#include <thread>
#include <tuple>

#include "engine/error_record.h"
#include "output/camera_output.h"
#include "output/device_enumeration.h"
#include "output/driver_layout.h"
#include "output/idle_picture.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "platform/resources.h"
#include "platform/thread.h"
#include "support/output_support.h"
#include "support/session_support.h"

namespace tavin {
namespace {

namespace rg = driver::region;
namespace sl = driver::slot;
using test::RecordingControls;
using Call = RecordingControls::Call;

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// ---- Formats a frame slot holds ---------------------------------------------

TEST(FormatFitsSlot, BoundsEveryFieldAndThePixelArea) {
    EXPECT_TRUE(formatFitsSlot(3840, 2160, 30.0f, driver::kBgr24));   // 24,883,200 bytes
    EXPECT_TRUE(formatFitsSlot(3840, 2160, 30.0f, driver::kYuy2));
    EXPECT_FALSE(formatFitsSlot(3840, 2160, 30.0f, driver::kArgb));   // 33,177,600 bytes
    EXPECT_TRUE(formatFitsSlot(1, 8'294'410, 30.0f, driver::kBgr24));  // 24,883,230: just fits
    EXPECT_FALSE(formatFitsSlot(1, 8'294'411, 30.0f, driver::kBgr24));
    EXPECT_TRUE(formatFitsSlot(640, -480, 30.0f, driver::kBgr24));     // bottom-up rows
    EXPECT_TRUE(formatFitsSlot(640, -480, 30.0f, driver::kArgb));
    EXPECT_FALSE(formatFitsSlot(0, 480, 30.0f, driver::kBgr24));
    EXPECT_FALSE(formatFitsSlot(-640, 480, 30.0f, driver::kBgr24));
    EXPECT_FALSE(formatFitsSlot(640, 0, 30.0f, driver::kBgr24));
    EXPECT_FALSE(formatFitsSlot(640, 480, 30.0f, -1));
    EXPECT_FALSE(formatFitsSlot(640, 480, 30.0f, 4));
    EXPECT_FALSE(formatFitsSlot(640, 480, kNan, driver::kBgr24));
    EXPECT_FALSE(formatFitsSlot(640, 480, kInf, driver::kBgr24));
    const std::int32_t most = std::numeric_limits<std::int32_t>::max();
    const std::int32_t least = std::numeric_limits<std::int32_t>::min();
    EXPECT_FALSE(formatFitsSlot(most, most, 30.0f, driver::kArgb));  // the product must not wrap
    EXPECT_FALSE(formatFitsSlot(1, least, 30.0f, driver::kBgr24));
}

// ---- The device path table --------------------------------------------------

platform::CaptureDevice device(std::string name, std::string path, bool hasPath = true) {
    return platform::CaptureDevice{std::move(name), std::move(path), hasPath};
}

TEST(DevicePathTable, MatchesTheEightNamesExactlyAndKeepsTheLastOfEach) {
    DevicePathTable table;
    table.take(platform::kEnumOk, {device("tavin webcam", "/lower"), device("Tavin Webcam #5", "/five"),
                                   device("Tavin Webcam ", "/space"), device("Tavin Webcam", "/first"),
                                   device("Tavin Webcam Audio #2", "/audio2"), device("Tavin Webcam #4", "/cam4"),
                                   device("Tavin Webcam", "/second"), device("Tavin Webcam Audio", "", false)});
    EXPECT_EQ(table.status(), platform::kEnumOk);
    EXPECT_EQ(table.cameraPath(0), "/second");
    EXPECT_EQ(table.cameraPath(1), "");
    EXPECT_EQ(table.cameraPath(3), "/cam4");
    EXPECT_EQ(table.audioPath(0), "");  // no DevicePath: entry unchanged
    EXPECT_EQ(table.audioPath(1), "/audio2");
    EXPECT_EQ(table.cameraPath(4), "");
    EXPECT_EQ(table.cameraPath(-1), "");

    // A later pass overwrites only what it finds.
    table.take(platform::kEnumOk, {device("Tavin Webcam Audio", "/audio1")});
    EXPECT_EQ(table.cameraPath(0), "/second");
    EXPECT_EQ(table.audioPath(0), "/audio1");
}

TEST(DevicePathTable, RefusesPathsThatDoNotFitAnEntry) {
    DevicePathTable table;
    const std::string longest = "/" + std::string(DevicePathTable::kMaxPathLength - 1, 'p');
    table.take(platform::kEnumOk, {device("Tavin Webcam", longest)});
    EXPECT_EQ(table.cameraPath(0), longest);
    table.take(platform::kEnumOk, {device("Tavin Webcam", longest + "q"),
                                   device("Tavin Webcam", std::string("/a\0b", 4))});
    EXPECT_EQ(table.cameraPath(0), longest);  // neither cut nor replaced
}

TEST(DeviceEnumeration, ReadsTheDirectoryAndReportsItsStatus) {
    test::ScopedDeviceDir dir;
    DevicePathTable table;
    enumerateDevices(table);
    EXPECT_EQ(table.status(), platform::kEnumUnavailable);  // no directory

    ASSERT_EQ(::mkdir(dir.path().c_str(), 0700), 0);
    enumerateDevices(table);
    EXPECT_EQ(table.status(), platform::kEnumEmpty);
    EXPECT_EQ(table.cameraPath(0), "");

    dir.writeDevice("a", "Tavin Webcam #2", "/run/a");
    dir.writeDevice("b", "TAVIN WEBCAM #2", "/run/b");
    dir.writeDevice("c", "Tavin Webcam Audio #2", "/run/c");
    dir.writeDevice("d", "Tavin Webcam #2", "/run/d");  // read after "a": wins
    enumerateDevices(table);
    EXPECT_EQ(table.status(), platform::kEnumOk);
    EXPECT_EQ(table.cameraPath(1), "/run/d");
    EXPECT_EQ(table.audioPath(1), "/run/c");
}

// ---- Against the driver substitute ------------------------------------------

class OutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);  // a child that died must not kill the test
        devicePathTable().clear();
        test::clearErrorRecord();
    }
    void TearDown() override {
        output_.reset();
        output1_.reset();
        vcam_.reset();
        test::unlinkOutputObjects();
    }

    bool startVcam(std::vector<std::string> args) {
        vcam_ = std::make_unique<test::Vcam>(dir_.path(), args);
        return vcam_->ready();
    }
    // Sends "<name> <index> ..." and waits for vcam's "camera <index> <name> "
    // line, which it prints once the command took effect.
    bool command(const std::string& line) {
        std::istringstream words(line);
        std::string name, index;
        words >> name >> index;
        return vcam_->command(line, "camera " + index + " " + name + " ");
    }
    CameraOutput& output(int index = 0) {
        output_ = std::make_unique<CameraOutput>(index, controls_);
        return *output_;
    }
    // An output whose thread keeps out of the way of a test that writes
    // pictures itself: with a phone streaming and nothing decoded it sends no
    // idle pictures and only waits for local slots.
    CameraOutput& quietOutput(int index = 0) {
        CameraOutput& out = output(index);
        out.setStreaming(true);
        return out;
    }
    void mapRegion() {
        region_ = test::mapRegion(0);
        ASSERT_TRUE(region_);
        r_ = region_->data();
    }
    std::uint8_t* slotOf(int i) { return r_ + rg::slotOffset(i); }
    float stamp(int i) { return readLeF32(slotOf(i) + sl::kTimeStamp); }
    void setStamp(int i, float v) { writeLeF32(slotOf(i) + sl::kTimeStamp, v); }

    test::TempConfigHome config_;
    test::ScopedDeviceDir dir_;
    RecordingControls controls_;
    std::unique_ptr<test::Vcam> vcam_;
    std::unique_ptr<platform::SharedRegion> region_;
    std::uint8_t* r_ = nullptr;
    std::unique_ptr<CameraOutput> output_;
    std::unique_ptr<CameraOutput> output1_;
};

struct OpenCase {
    const char* name;
    std::vector<std::string> vcamArgs;  // empty: no vcam (the directory has no devices)
    bool makeDir;
    int result;
    const char* record;
    bool region;
};

class OpenResult : public OutputTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenResult, ReportsEachCauseWithItsRecord) {
    const OpenCase& c = GetParam();
    if (c.makeDir) {
        ASSERT_EQ(::mkdir(dir_.path().c_str(), 0700), 0);
    }
    if (!c.vcamArgs.empty()) {
        std::vector<std::string> args{"--cameras", "0"};
        args.insert(args.end(), c.vcamArgs.begin(), c.vcamArgs.end());
        ASSERT_TRUE(startVcam(args));
    }
    CameraOutput& out = output();
    EXPECT_EQ(out.open(), c.result);
    EXPECT_EQ(readErrorRecord(), c.record);
    EXPECT_EQ(out.regionMapped(), c.region);
    out.close();
    out.close();  // a second close finds nothing left
}

INSTANTIATE_TEST_SUITE_P(
    Causes, OpenResult,
    ::testing::Values(
        OpenCase{"NoDevicesListed", {}, true, -1, "we:s.C0E2D2:319", false},
        OpenCase{"NoDeviceDirectory", {}, false, -1, "we:s.C0E2D1:319", false},
        OpenCase{"AudioQueryFails", {"--audio-query-fails"}, false, -2, "we:s:329", false},
        OpenCase{"AudioNotReadyOnRegion", {"--audio-status", "0"}, false, -5, "we:s:348", true},
        OpenCase{"NoCameraDevice", {"--device", "--no-camera-file"}, false, -3, "we:s.C0E2D0:355", false},
        OpenCase{"CameraQueryFails", {"--device", "--camera-query-fails"}, false, -4, "we:s:366", false},
        OpenCase{"CameraVersionOne", {"--device", "--camera-version", "1"}, false, -6, "we:s:372", false},
        OpenCase{"CameraVersionThree", {"--device", "--camera-version", "3"}, false, -5, "we:s:388", false},
        OpenCase{"AudioNotReadyOnDevice", {"--device", "--audio-status", "0"}, false, -5, "we:s:388", false},
        OpenCase{"Region", {"--region"}, false, 0, "", true},
        OpenCase{"RegionOfAnotherVersion", {"--region-version", "5"}, false, 0, "", false},
        OpenCase{"RegionTooSmall", {"--region-size", "4096"}, false, 0, "", false},
        OpenCase{"Device", {"--device"}, false, 0, "", false},
        OpenCase{"Legacy", {"--legacy"}, false, 0, "", false}),
    [](const ::testing::TestParamInfo<OpenCase>& info) { return std::string(info.param.name); });

TEST_F(OutputTest, OtherIndexesOpenFromTheTableIndexZeroLeft) {
    ASSERT_TRUE(startVcam({"--cameras", "0,1", "--device"}));
    output1_ = std::make_unique<CameraOutput>(1, controls_);
    EXPECT_EQ(output1_->open(), CameraOutput::kAudioOpenFailed);  // index 1 does not enumerate
    EXPECT_EQ(readErrorRecord(), "we:s.C1E2D0:319");
    ASSERT_EQ(output().open(), 0);
    EXPECT_EQ(output1_->open(), 0);
    EXPECT_FALSE(output1_->legacy());
}

TEST_F(OutputTest, RefusedOutputThreadIsNotReportedAsOpened) {
    ASSERT_TRUE(startVcam({"--cameras", "0"}));
    platform::Thread::refuseStartsForTesting(1);
    EXPECT_EQ(output().open(), CameraOutput::kRefused);
    EXPECT_EQ(output_->open(), 0);  // the next attempt gets its thread
}

// ---- Shared region ----------------------------------------------------------

TEST_F(OutputTest, RegionOpenTakesAFittingRequestClearsAndAttaches) {
    ASSERT_TRUE(startVcam({"--cameras", "0", "--format", "1280x720@60:3"}));
    mapRegion();
    slotOf(0)[100] = 0xab;
    setStamp(1, 3.0f);
    CameraOutput& out = output();
    ASSERT_EQ(out.open(), 0);
    EXPECT_EQ(out.outputFormat(), (OutputFormat{1280, 720, 60.0f, driver::kArgb}));
    EXPECT_EQ(slotOf(0)[100], 0);
    EXPECT_EQ(stamp(1), 0.0f);
    EXPECT_EQ(r_[rg::kAttached], 1);
    EXPECT_TRUE(vcam_->waitForCount("camera 0 attached (region)", 1));
    out.close();
    EXPECT_EQ(r_[rg::kAttached], 0);
    EXPECT_TRUE(vcam_->waitForCount("camera 0 detached (region)", 1));

    // No request, or one that no slot holds, gives the region's default.
    const OutputFormat fallback{640, 360, 30.0f, driver::kYuy2};
    for (const char* request : {"format 0 none", "request 0 3840 2160 30 3", "request 0 640 0 30 0",
                                "request 0 640 480 nan 0"}) {
        SCOPED_TRACE(request);
        ASSERT_TRUE(command(request));
        ASSERT_EQ(out.open(), 0);
        EXPECT_EQ(out.outputFormat(), fallback);
    }
    ASSERT_TRUE(command("request 0 640 -480 25 0"));
    ASSERT_EQ(out.open(), 0);
    EXPECT_EQ(out.outputFormat(), (OutputFormat{640, -480, 25.0f, driver::kBgr24}));
}

TEST_F(OutputTest, ClearSlotsWritesTheBlackOfTheCurrentKind) {
    ASSERT_TRUE(startVcam({"--cameras", "0"}));
    mapRegion();
    CameraOutput& out = output();
    ASSERT_EQ(out.open(), 0);
    ASSERT_EQ(out.outputFormat().kind, driver::kYuy2);
    ASSERT_NE(out.slot(1), nullptr);
    out.slot(1)[5] = 0x12;  // the engine's slot is the driver's
    EXPECT_EQ(slotOf(1)[5], 0x12);
    EXPECT_EQ(out.slot(2), nullptr);

    auto poison = [&] {
        for (int i = 0; i < 2; ++i) {
            std::memset(slotOf(i), 0x55, sl::kPixelArea);
            writeLeI32(slotOf(i) + sl::kByteCount, 7);
            setStamp(i, 2.0f);
        }
    };
    poison();
    out.clearSlots();
    constexpr std::size_t kBlackBytes = 16'588'800;
    for (int i = 0; i < 2; ++i) {
        const std::uint8_t* s = slotOf(i);
        std::size_t wrong = 0;
        for (std::size_t at = 0; at < kBlackBytes; at += 4) wrong += readLe32(s + at) != 0x80008000u;
        EXPECT_EQ(wrong, 0u) << "slot " << i;
        EXPECT_EQ(s[kBlackBytes], 0x55);  // the pattern covers a 3840 x 2160 picture only
        EXPECT_EQ(readLeI32(s + sl::kByteCount), 0);
        EXPECT_EQ(stamp(i), 0.0f);
        EXPECT_EQ(readLe32(s + sl::kReady), 0u);
    }

    out.setOutputFormat(640, 480, 30.0f, driver::kBgr24);
    poison();
    out.clearSlots();
    for (int i = 0; i < 2; ++i) {
        const std::uint8_t* s = slotOf(i);
        EXPECT_TRUE(std::all_of(s, s + sl::kPixelArea, [](std::uint8_t b) { return b == 0; })) << "slot " << i;
        EXPECT_EQ(readLeI32(s + sl::kByteCount), 0);
    }
}

TEST_F(OutputTest, SlotsChangeHandsOnlyBetweenWritesAndComeBackEmpty) {
    ASSERT_TRUE(startVcam({"--cameras", "0"}));
    mapRegion();
    CameraOutput& out = output();
    ASSERT_EQ(out.open(), 0);
    EXPECT_FALSE(CameraOutput::StreamWrite{out});  // no phone streams: not the stream's
    out.setStreaming(true);
    std::atomic<bool> handedBack{false};
    std::thread ending;
    {
        const CameraOutput::StreamWrite write{out};
        ASSERT_TRUE(write);
        std::memset(slotOf(0), 0x55, 64);  // a picture being written
        ending = std::thread([&] {
            out.setStreaming(false);
            handedBack = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(handedBack.load());  // the hand-over waits for the write
        EXPECT_EQ(slotOf(0)[63], 0x55);
    }
    ending.join();
    EXPECT_NE(slotOf(0)[63], 0x55);  // cleared (black) once the write was done
    EXPECT_FALSE(CameraOutput::StreamWrite{out});
}

TEST_F(OutputTest, WriteFrameFillsTheOlderSlotForTheConsumer) {
    ASSERT_TRUE(startVcam({"--cameras", "0", "--format", "320x240@30:0"}));
    mapRegion();
    CameraOutput& out = output();
    ASSERT_EQ(out.open(), 0);
    std::vector<std::uint8_t> picture(320 * 240 * 3, 0x3c);
    const auto count = static_cast<std::int32_t>(picture.size());

    setStamp(0, 9.0f);
    setStamp(1, 5.0f);
    out.writeFrame(picture.data(), count);
    EXPECT_EQ(slotOf(1)[0], 0x3c);
    EXPECT_EQ(slotOf(1)[picture.size() - 1], 0x3c);
    EXPECT_EQ(slotOf(1)[picture.size()], 0);
    EXPECT_EQ(readLeI32(slotOf(1) + sl::kByteCount), count);
    EXPECT_NE(stamp(1), 5.0f);
    EXPECT_EQ(slotOf(0)[0], 0);
    EXPECT_TRUE(vcam_->waitForCount("camera 0 picture 320x240 kind 0", 1));  // taken whole

    // Equal stamps: slot 0.
    setStamp(0, 4.0f);
    setStamp(1, 4.0f);
    std::fill(picture.begin(), picture.end(), 0x3d);
    out.writeFrame(picture.data(), count);
    EXPECT_EQ(slotOf(0)[0], 0x3d);
    EXPECT_EQ(slotOf(1)[0], 0x3c);

    // Counts no slot can take are dropped.
    setStamp(0, 1.0f);
    setStamp(1, 2.0f);
    std::vector<std::uint8_t> oversize(sl::kPixelArea + 1, 0x3e);
    out.writeFrame(oversize.data(), static_cast<std::int32_t>(oversize.size()));
    out.writeFrame(picture.data(), -1);
    out.writeFrame(nullptr, 16);
    EXPECT_EQ(stamp(0), 1.0f);
    EXPECT_EQ(stamp(1), 2.0f);
    EXPECT_EQ(slotOf(0)[0], 0x3d);
    EXPECT_EQ(vcam_->countLines("expected"), 0);  // no picture of a wrong size reached vcam
}

TEST_F(OutputTest, RegionRequestIsFollowedBeyondHalfAFrameWhenASlotHoldsIt) {
    ASSERT_TRUE(startVcam({"--cameras", "0", "--format", "640x480@30:0"}));
    mapRegion();
    CameraOutput& out = output();
    ASSERT_EQ(out.open(), 0);
    std::vector<std::uint8_t> picture(640 * 480 * 3, 0x11);
    struct Step {
        const char* command;
        OutputFormat expected;
        bool cleared;
    };
    const Step steps[] = {
        {"format 0 640x480@30.4:0", {640, 480, 30.0f, 0}, false},
        {"format 0 640x480@30.6:0", {640, 480, 30.6f, 0}, true},
        {"request 0 3840 2160 30 3", {640, 480, 30.6f, 0}, false},
        {"request 0 640 0 30 0", {640, 480, 30.6f, 0}, false},
        {"request 0 -640 480 30 0", {640, 480, 30.6f, 0}, false},
        {"request 0 640 480 30 7", {640, 480, 30.6f, 0}, false},
        {"request 0 640 480 nan 1", {640, 480, 30.6f, 0}, false},
        {"request 0 640 480 inf 0", {640, 480, 30.6f, 0}, false},
        {"request 0 640 -480 30.6 0", {640, -480, 30.6f, 0}, true},
        {"format 0 none", {640, -480, 30.6f, 0}, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.command);
        ASSERT_TRUE(command(step.command));
        slotOf(0)[sl::kPixelArea - 1] = 0x77;  // beyond the picture: only a clear changes it
        slotOf(1)[sl::kPixelArea - 1] = 0x77;
        out.writeFrame(picture.data(), static_cast<std::int32_t>(picture.size()));
        EXPECT_EQ(out.outputFormat(), step.expected);
        EXPECT_EQ(slotOf(0)[sl::kPixelArea - 1] != 0x77, step.cleared);
        EXPECT_EQ(slotOf(1)[sl::kPixelArea - 1] != 0x77, step.cleared);
    }
}

TEST_F(OutputTest, StreamingPassFollowsTheRegionAndForwardsControlChanges) {
    ASSERT_TRUE(startVcam({"--cameras", "0", "--consumer"}));
    CameraOutput& out = output();
    ASSERT_EQ(out.open(), 0);
    EXPECT_TRUE(out.isConsumerActive());
    out.setStreaming(true);

    ASSERT_TRUE(command("format 0 1280x720@30:1"));
    EXPECT_TRUE(test::waitUntil([&] { return out.outputFormat().width == 1280; }));
    EXPECT_EQ(out.outputFormat(), (OutputFormat{1280, 720, 30.0f, driver::kYuy2}));

    ASSERT_TRUE(command("control 0 B 7"));  // off -> on
    ASSERT_TRUE(controls_.waitForCalls(1));
    ASSERT_TRUE(command("control 0 B 5"));  // still on: nothing
    ASSERT_TRUE(command("control 0 A 9"));
    ASSERT_TRUE(controls_.waitForCalls(2));
    ASSERT_TRUE(command("control 0 B 0"));
    ASSERT_TRUE(controls_.waitForCalls(3));
    EXPECT_EQ(controls_.calls(), (std::vector<Call>{{2, 1}, {4, 9}, {2, 0}}));

    ASSERT_TRUE(command("consumer 0 off"));
    EXPECT_TRUE(test::waitUntil([&] { return !out.isConsumerActive(); }));
}

TEST_F(OutputTest, DriverFormatListStopsAtTheEndOfTheRegion) {
    ASSERT_TRUE(startVcam({"--cameras", "0"}));
    mapRegion();
    CameraOutput& out = output();
    ASSERT_EQ(out.open(), 0);
    EXPECT_FALSE(out.driverTakesFormatList());
    ASSERT_TRUE(command("formatlist 0 on"));
    EXPECT_TRUE(out.driverTakesFormatList());

    std::vector<DriverFormatEntry> entries;
    for (std::uint32_t i = 0; i < 40; ++i) entries.push_back({100 + i, 200 + i, 30'000 + i, i});
    EXPECT_TRUE(out.writeDriverFormatList(entries));
    EXPECT_EQ(readLe32(r_ + rg::kFormatCount), 31u);
    const std::uint8_t* last = r_ + rg::kFormatEntries + 30 * rg::kFormatEntrySize;
    ASSERT_LE(last + rg::kFormatEntrySize, r_ + rg::kSize);
    EXPECT_EQ(readLe32(last), 130u);
    EXPECT_EQ(readLe32(last + 4), 230u);
    EXPECT_EQ(readLe32(last + 8), 30'030u);
    EXPECT_EQ(readLe32(last + 12), 30u);
    EXPECT_TRUE(vcam_->waitForCount("camera 0 formats 31: 100x200@30000/0", 1));

    EXPECT_TRUE(out.writeDriverFormatList(std::span(entries).first(2)));
    EXPECT_EQ(readLe32(r_ + rg::kFormatCount), 2u);
    EXPECT_TRUE(vcam_->waitForCount("camera 0 formats 2: 100x200@30000/0 101x201@30001/1", 1));
}

TEST_F(OutputTest, BusyMutexLeavesTheFormatAndTheListAlone) {
    ASSERT_TRUE(startVcam({"--cameras", "0"}));
    mapRegion();
    CameraOutput& out = output();
    ASSERT_EQ(out.open(), 0);
    const OutputFormat before = out.outputFormat();

    std::mutex lock;
    std::condition_variable changed;
    bool held = false, release = false;
    std::thread holder([&] {
        auto mutex = platform::NamedMutex::open(driver::kMutexNames[0]);
        const bool got = mutex && platform::holds(mutex->lock(test::kOutputWaitMs));
        std::unique_lock<std::mutex> guard(lock);
        held = got;
        changed.notify_all();
        changed.wait_for(guard, std::chrono::milliseconds(test::kOutputWaitMs), [&] { return release; });
        if (got) mutex->unlock();
    });
    {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait_for(guard, std::chrono::milliseconds(test::kOutputWaitMs), [&] { return held; });
    }
    ASSERT_TRUE(held);
    out.setOutputFormat(1920, 1080, 30.0f, driver::kBgr24);
    const DriverFormatEntry entry{640, 480, 30'000, 0};
    const bool listWritten = out.writeDriverFormatList(std::span(&entry, 1));
    {
        std::lock_guard<std::mutex> guard(lock);
        release = true;
        changed.notify_all();
    }
    holder.join();
    EXPECT_EQ(out.outputFormat(), before);
    EXPECT_EQ(readErrorRecord(), "we:s:793");
    EXPECT_FALSE(listWritten);
    EXPECT_EQ(readLe32(r_ + rg::kFormatCount), 0u);

    out.setOutputFormat(1920, 1080, 30.0f, driver::kBgr24);
    EXPECT_EQ(out.outputFormat(), (OutputFormat{1920, 1080, 30.0f, driver::kBgr24}));
}

// ---- Device requests --------------------------------------------------------

TEST_F(OutputTest, DeviceWriteReplyIsFollowedBeyondHalfAFrame) {
    ASSERT_TRUE(startVcam({"--cameras", "0", "--device", "--format", "640x480@30:0"}));
    CameraOutput& out = quietOutput();
    ASSERT_EQ(out.open(), 0);
    const float rate30 = driver::rateFromInterval(333'333);
    EXPECT_EQ(out.outputFormat(), (OutputFormat{640, 480, rate30, driver::kBgr24}));  // from the query
    EXPECT_NE(out.slot(0), nullptr);  // local slots
    EXPECT_FALSE(out.isConsumerActive());
    ASSERT_TRUE(command("consumer 0 on"));
    EXPECT_TRUE(out.isConsumerActive());
    std::vector<std::uint8_t> picture(640 * 480 * 3, 0x22);
    struct Step {
        const char* command;
        OutputFormat expected;
        bool cleared;
    };
    const Step steps[] = {
        {nullptr, {640, 480, rate30, 0}, false},
        {"format 0 640x480@30.4:0", {640, 480, rate30, 0}, false},
        {"format 0 640x480@30.6:0", {640, 480, driver::rateFromInterval(326'797), 0}, true},
        // Differs from every format but fits no slot: cleared, not applied.
        {"request 0 5000 5000 30 1", {640, 480, driver::rateFromInterval(326'797), 0}, true},
        {"format 0 1280x720@30:1", {1280, 720, rate30, 1}, true},
        {"consumer 0 off", {1280, 720, rate30, 1}, false},
        {"format 0 320x240@30:0", {1280, 720, rate30, 1}, false},  // nobody streams: ignored
    };
    std::uint8_t* localSlots = out.slot(0);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.command ? step.command : "first picture");
        if (step.command) {
            ASSERT_TRUE(command(step.command));
        }
        out.slot(0)[0] = 0x77;
        out.slot(1)[0] = 0x77;
        out.writeFrame(picture.data(), static_cast<std::int32_t>(picture.size()));
        { const CameraOutput::StreamWrite next{out}; }  // the stream clears before its next picture
        EXPECT_EQ(out.outputFormat(), step.expected);
        EXPECT_EQ(out.slot(0)[0] != 0x77, step.cleared);
        EXPECT_EQ(out.slot(1)[0] != 0x77, step.cleared);
    }
    EXPECT_TRUE(vcam_->waitForCount("camera 0 picture 640x480 kind 0", 1));
    EXPECT_FALSE(out.isConsumerActive());
    ASSERT_EQ(out.open(), 0);
    EXPECT_EQ(out.slot(0), localSlots);  // made once
}

TEST_F(OutputTest, LegacyDriverTakesKindZeroBottomUpAfterOneClear) {
    ASSERT_TRUE(startVcam({"--cameras", "0", "--legacy", "--format", "640x480@30:0"}));
    CameraOutput& out = quietOutput();
    ASSERT_EQ(out.open(), 0);
    EXPECT_TRUE(out.legacy());
    EXPECT_EQ(out.outputFormat().height, 480);
    EXPECT_TRUE(out.isConsumerActive());  // a legacy driver always counts as watched
    ASSERT_TRUE(command("consumer 0 on"));

    std::vector<std::uint8_t> picture(640 * 480 * 3, 0x33);
    for (bool expectClear : {true, false}) {
        out.slot(0)[0] = 0x77;
        out.writeFrame(picture.data(), static_cast<std::int32_t>(picture.size()));
        { const CameraOutput::StreamWrite next{out}; }  // the stream clears before its next picture
        EXPECT_EQ(out.outputFormat().height, -480);
        EXPECT_EQ(out.slot(0)[0] != 0x77, expectClear);
    }
    EXPECT_TRUE(vcam_->waitForCount("camera 0 picture 640x-480 kind 0", 1));
}

TEST_F(OutputTest, DeviceRepliesForwardControlChanges) {
    ASSERT_TRUE(startVcam({"--cameras", "0", "--device", "--consumer"}));
    CameraOutput& out = quietOutput();
    ASSERT_EQ(out.open(), 0);
    std::vector<std::uint8_t> picture(640 * 360 * 3, 0x44);
    const auto write = [&] { out.writeFrame(picture.data(), static_cast<std::int32_t>(picture.size())); };
    write();
    EXPECT_TRUE(controls_.calls().empty());
    ASSERT_TRUE(command("control 0 B 7"));
    write();
    ASSERT_TRUE(command("control 0 B 5"));
    write();
    ASSERT_TRUE(command("control 0 A -3"));
    write();
    write();
    EXPECT_EQ(controls_.calls(), (std::vector<Call>{{2, 1}, {4, -3}}));
}

// A driver of the test's own for replies vcam never gives: it logs every
// request and answers with whatever bytes the test set.
class RawDriver {
public:
    struct Request {
        std::string device;
        std::uint32_t code;
        std::vector<std::uint8_t> input;
        std::uint32_t capacity;
    };

    RawDriver(test::ScopedDeviceDir& dir, int index) {
        ::mkdir(dir.path().c_str(), 0700);
        const std::string suffix = std::to_string(index);
        const std::string cameraPath = dir.path() + "/raw-camera" + suffix + ".sock";
        const std::string audioPath = dir.path() + "/raw-audio" + suffix + ".sock";
        camera_ = serve("camera", cameraPath);
        audio_ = serve("audio", audioPath);
        dir.writeDevice("raw-camera" + suffix, driver::kCameraNames[index], cameraPath);
        dir.writeDevice("raw-audio" + suffix, driver::kAudioNames[index], audioPath);
        devicePathTable().take(platform::kEnumOk, {device(driver::kCameraNames[index], cameraPath),
                                                   device(driver::kAudioNames[index], audioPath)});
    }
    bool serving() const { return camera_ && audio_; }

    void setReplies(std::vector<std::uint8_t> audioQuery, std::vector<std::uint8_t> cameraQuery,
                    std::vector<std::uint8_t> write) {
        std::lock_guard<std::mutex> guard(lock_);
        audioQuery_ = std::move(audioQuery);
        cameraQuery_ = std::move(cameraQuery);
        write_ = std::move(write);
    }
    std::vector<Request> take() {
        std::lock_guard<std::mutex> guard(lock_);
        return std::exchange(log_, {});
    }

    static std::vector<std::uint8_t> words(std::initializer_list<std::uint32_t> values) {
        std::vector<std::uint8_t> bytes(values.size() * 4);
        std::size_t at = 0;
        for (std::uint32_t v : values) writeLe32(bytes.data() + 4 * at++, v);
        return bytes;
    }

private:
    std::unique_ptr<platform::DeviceServer> serve(std::string name, const std::string& path) {
        return platform::DeviceServer::start(
            path, [this, name](std::uint32_t code, const std::uint8_t* input, std::uint32_t length,
                               std::uint32_t capacity) {
                std::lock_guard<std::mutex> guard(lock_);
                log_.push_back({name, code, std::vector<std::uint8_t>(input, input + length), capacity});
                platform::DeviceServer::Reply reply;
                if (code == driver::kIoQuery) reply.output = name == "audio" ? audioQuery_ : cameraQuery_;
                if (code >= driver::kIoWriteBase) reply.output = write_;
                return reply;
            });
    }

    std::mutex lock_;
    std::vector<Request> log_;
    std::vector<std::uint8_t> audioQuery_, cameraQuery_, write_;
    std::unique_ptr<platform::DeviceServer> camera_, audio_;
};

using Words = std::vector<std::uint8_t>;

TEST_F(OutputTest, DeviceRequestsOfOpenConsumerQueryWriteAndClose) {
    RawDriver raw(dir_, 2);
    ASSERT_TRUE(raw.serving());
    raw.setReplies(RawDriver::words({1}), RawDriver::words({100, 800, 600, 1, 0, 0, 0, 0}),
                   RawDriver::words({800, 600, 1, 0, 0, 0, 0}));
    CameraOutput& out = quietOutput(2);
    ASSERT_EQ(out.open(), 0);
    EXPECT_EQ(out.outputFormat(), (OutputFormat{800, 600, 30.0f, driver::kBgr24}));
    EXPECT_TRUE(out.isConsumerActive());
    std::vector<std::uint8_t> picture(100, 0x55);
    out.writeFrame(picture.data(), 100);
    out.close();

    Words queryAtOpen = RawDriver::words({100, 2});
    queryAtOpen.resize(32, 0);
    const std::vector<std::tuple<std::string, std::uint32_t, Words, std::uint32_t>> expected{
        {"audio", driver::kIoAttach, RawDriver::words({1, 2}), 0},
        {"audio", driver::kIoQuery, RawDriver::words({0}), 4},
        {"camera", driver::kIoAttach, RawDriver::words({100, 2}), 0},
        {"camera", driver::kIoQuery, queryAtOpen, 32},
        {"camera", driver::kIoQuery, RawDriver::words({100, 2}), 32},
        {"camera", 0x222018, picture, 28},
        {"camera", driver::kIoDetach, RawDriver::words({100, 2}), 0},
        {"audio", driver::kIoDetach, {}, 0},
    };
    // The output thread asks about the consumer too, whenever it likes: its
    // queries are left out after the first.
    std::vector<std::tuple<std::string, std::uint32_t, Words, std::uint32_t>> got;
    bool consumerQuerySeen = false;
    for (const RawDriver::Request& q : raw.take()) {
        const bool consumerQuery = q.code == driver::kIoQuery && q.input.size() == 8;
        if (consumerQuery && std::exchange(consumerQuerySeen, true)) continue;
        got.emplace_back(q.device, q.code, q.input, q.capacity);
    }
    EXPECT_EQ(got, expected);

    // A legacy driver takes every picture on the base code.
    raw.setReplies(RawDriver::words({1}), RawDriver::words({2}), RawDriver::words({800, 600, 1, 0, 0, 0, 0}));
    ASSERT_EQ(out.open(), 0);
    EXPECT_TRUE(out.legacy());
    raw.take();
    out.writeFrame(picture.data(), 100);
    std::vector<std::uint32_t> writeCodes;
    for (const RawDriver::Request& q : raw.take()) {
        if (q.code != driver::kIoQuery) writeCodes.push_back(q.code);
    }
    EXPECT_EQ(writeCodes, std::vector<std::uint32_t>{driver::kIoWriteBase});
}

TEST_F(OutputTest, ShortRepliesCountTheMissingWordsAsZero) {
    RawDriver raw(dir_, 0);
    ASSERT_TRUE(raw.serving());
    raw.setReplies(RawDriver::words({1}), RawDriver::words({100}), {});
    CameraOutput& out = output();
    ASSERT_EQ(out.open(), 0);  // version only: no size, 30 frames per second, kind 0
    EXPECT_EQ(out.outputFormat(), (OutputFormat{640, 360, 30.0f, driver::kBgr24}));
    std::vector<std::uint8_t> picture(64, 0x66);
    const auto writeWith = [&](Words reply) {
        raw.setReplies(RawDriver::words({1}), RawDriver::words({100}), std::move(reply));
        out.writeFrame(picture.data(), static_cast<std::int32_t>(picture.size()));
        return out.outputFormat();
    };
    // Without its streaming word a reply says nothing.
    EXPECT_EQ(writeWith(RawDriver::words({1024, 768})), (OutputFormat{640, 360, 30.0f, 0}));
    // Six words: the format counts, the controls need the whole reply.
    EXPECT_EQ(writeWith(RawDriver::words({800, 600, 1, 1, 0, 5})), (OutputFormat{800, 600, 30.0f, 1}));
    EXPECT_TRUE(controls_.calls().empty());
    // A height beyond int32 is no picture.
    EXPECT_EQ(writeWith(RawDriver::words({800, 0xfffffe20u, 1, 1, 0, 5, 0})), (OutputFormat{800, 600, 30.0f, 1}));
    EXPECT_EQ(controls_.calls(), (std::vector<Call>{{4, 5}}));

    // An audio status that did not arrive is not "ready".
    raw.setReplies({}, RawDriver::words({100}), {});
    EXPECT_EQ(out.open(), CameraOutput::kRefused);
    EXPECT_EQ(readErrorRecord(), "we:s:388");
}

// ---- Pictures the output thread makes or forwards ---------------------------

std::vector<std::uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

struct IdleCase {
    const char* name;
    std::vector<std::string> vcamArgs;
    const char* layout;  // as vcam reports the pictures it takes
};

class IdleTransport : public OutputTest, public ::testing::WithParamInterface<IdleCase> {};

// What the camera got, as vcam's snapshot shows it: the text band of the
// idle picture where the engine draws it (a picture upside down, or with
// shifted rows, would differ by far more).
TEST_P(IdleTransport, CameraGetsTheIdlePictureInItsOwnLayout) {
    const IdleCase& c = GetParam();
    std::vector<std::string> args{"--cameras", "0", "--consumer"};
    args.insert(args.end(), c.vcamArgs.begin(), c.vcamArgs.end());
    ASSERT_TRUE(startVcam(args));
    CameraOutput& out = output();
    ASSERT_EQ(out.open(), 0);
    ASSERT_TRUE(vcam_->waitForCount(std::string("camera 0 picture ") + c.layout, 1));
    // Not the first picture: a legacy driver's first one goes out before its
    // reply has turned kind 0 bottom-up.
    test::TempDir pictures;
    const std::string png = pictures.path() + "/idle.png";
    ASSERT_TRUE(vcam_->command("snapshot 0 " + png, "snapshot pending"));
    ASSERT_TRUE(vcam_->waitForCount("camera 0 snapshot " + png, 1));
    EXPECT_EQ(vcam_->countLines("expected"), 0);

    int w = 0, h = 0;
    std::vector<std::uint8_t> rgb;
    ASSERT_TRUE(test::decodePng(readBytes(png), w, h, rgb));
    ASSERT_EQ(w, 320);
    ASSERT_EQ(h, 240);
    IdlePicture reference;
    reference.load(platform::findResource(platform::kIdleAnimationResource));
    const auto bgr = reference.draw(320, 240, driver::kBgr24, 0);
    double difference = 0;
    std::size_t lit = 0;
    for (std::size_t at = 3 * 320 * 120; at < 3 * 320 * 140; at += 3) {
        difference += std::abs(rgb[at] - bgr[at + 2]) + std::abs(rgb[at + 1] - bgr[at + 1]) +
                      std::abs(rgb[at + 2] - bgr[at]);
        lit += rgb[at] > 128;
    }
    EXPECT_LT(difference / (3 * 320 * 20), 4.0);
    EXPECT_GT(lit, 300u);
}

INSTANTIATE_TEST_SUITE_P(
    Transports, IdleTransport,
    ::testing::Values(IdleCase{"RegionYuy2", {"--format", "320x240@30:1"}, "320x240 kind 1"},
                      IdleCase{"RegionI420", {"--format", "320x240@30:2"}, "320x240 kind 2"},
                      IdleCase{"RegionArgbBottomUp", {"--format", "320x-240@30:3"}, "320x-240 kind 3"},
                      IdleCase{"DeviceBgr", {"--device", "--format", "320x240@30:0"}, "320x240 kind 0"},
                      IdleCase{"LegacyBgrBottomUp", {"--legacy", "--format", "320x240@30:0"}, "320x-240 kind 0"}),
    [](const ::testing::TestParamInfo<IdleCase>& info) { return std::string(info.param.name); });

TEST_F(OutputTest, BlankGreenGoesOnceUntilTheCameraAsksForAnotherFormat) {
    ASSERT_TRUE(startVcam({"--cameras", "0", "--device", "--consumer", "--format", "320x240@30:0"}));
    test::TempDir pictures;
    const std::string png = pictures.path() + "/blank.png";
    ASSERT_TRUE(vcam_->command("snapshot 0 " + png, "snapshot pending"));
    CameraOutput& out = output();
    out.setBlank(1);
    ASSERT_EQ(out.open(), 0);
    ASSERT_TRUE(vcam_->waitForCount("camera 0 snapshot " + png, 1));
    int w = 0, h = 0;
    std::vector<std::uint8_t> rgb;
    ASSERT_TRUE(test::decodePng(readBytes(png), w, h, rgb));
    ASSERT_EQ(rgb.size(), 3u * 320 * 240);
    std::size_t notGreen = 0;
    for (std::size_t at = 0; at < rgb.size(); at += 3)
        notGreen += rgb[at] != 0x40 || rgb[at + 1] != 0xB1 || rgb[at + 2] != 0;
    EXPECT_EQ(notGreen, 0u);

    // "frames N" of vcam's statistics: the pictures it took.
    const auto framesTaken = [&] {
        EXPECT_TRUE(vcam_->command("stats", "stats camera 0"));
        std::string last;
        for (const std::string& line : vcam_->lines()) {
            if (line.find("stats camera 0 frames") != std::string::npos) last = line;
        }
        std::istringstream words(last.substr(last.find("frames")));
        std::string word;
        int frames = -1;
        words >> word >> frames;
        return frames;
    };
    platform::sleepMs(300);  // some thirty passes: still the one picture
    EXPECT_EQ(framesTaken(), 1);

    // Another size: green again at that size. Another kind alone: the green
    // of that kind.
    ASSERT_TRUE(command("format 0 640x480@30:0"));
    EXPECT_TRUE(vcam_->waitForCount("camera 0 picture 640x480 kind 0", 1));
    ASSERT_TRUE(command("format 0 640x480@30:1"));
    EXPECT_TRUE(vcam_->waitForCount("camera 0 picture 640x480 kind 1", 1));
    EXPECT_EQ(out.outputFormat().kind, driver::kYuy2);
    EXPECT_EQ(framesTaken(), 3);

    out.setBlank(0);  // the idle pictures again
    EXPECT_TRUE(test::waitUntil([&] { return framesTaken() > 4; }));
    EXPECT_EQ(vcam_->countLines("expected"), 0);
}

class LocalSlotForwarding : public OutputTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(LocalSlotForwarding, SendsTheOlderPictureFirstAndFreesItsSlot) {
    test::TempDir recording;
    const std::string y4m = recording.path() + "/forwarded.y4m";
    ASSERT_TRUE(startVcam({"--cameras", "0", GetParam(), "--consumer", "--format", "64x48@30:0", "--y4m", y4m}));
    CameraOutput& out = output();
    out.setStreaming(true);
    ASSERT_EQ(out.open(), 0);
    auto mutex = platform::NamedMutex::open(driver::kMutexNames[0]);
    auto event = platform::NamedEvent::open(driver::kEventNames[0]);
    ASSERT_TRUE(mutex && event);
    constexpr std::int32_t kBytes = 64 * 48 * 3;
    // Fills local slots as the publishing path does: the choice under the
    // mutex, the ready flag last, then the event.
    const auto publish = [&](std::initializer_list<std::tuple<int, std::uint8_t, float>> pictures) {
        ASSERT_TRUE(platform::holds(mutex->lock(test::kOutputWaitMs)));
        for (const auto& [index, grey, stamp] : pictures) {
            std::uint8_t* s = out.slot(index);
            std::memset(s, grey, kBytes);
            writeLeI32(s + sl::kByteCount, kBytes);
            writeLeF32(s + sl::kTimeStamp, stamp);
            sl::readyFlag(s).store(1, std::memory_order_release);
        }
        mutex->unlock();
        event->set();
        // Both sent, and the pass done with them: it resets the event last.
        EXPECT_TRUE(test::waitUntil([&] {
            return sl::readyFlag(out.slot(0)).load() == 0 && sl::readyFlag(out.slot(1)).load() == 0 &&
                   !event->isSet();
        }));
    };
    // On the legacy interface the first reply turns kind 0 bottom-up and
    // clears both slots: one picture alone first.
    publish({{1, 0x20, 1.0f}});
    publish({{0, 0xC0, 3.0f}, {1, 0x60, 2.0f}});

    // The recorded stream: one frame per picture, in the order sent.
    const auto stream = readBytes(y4m);
    const std::string header = "YUV4MPEG2 W64 H48 F30000:1000 Ip A1:1 C420jpeg\n";
    const std::size_t frame = 6 + 64 * 48 * 3 / 2;
    ASSERT_EQ(stream.size(), header.size() + 3 * frame);
    const double greys[] = {0x20, 0x60, 0xC0};
    for (std::size_t i = 0; i < 3; ++i) {
        const double luma = 16.0 + 219.0 * greys[i] / 255.0;
        EXPECT_NEAR(stream[header.size() + i * frame + 6], luma, 1.5) << "frame " << i;
    }
    EXPECT_EQ(vcam_->countLines("expected"), 0);
}

INSTANTIATE_TEST_SUITE_P(Interfaces, LocalSlotForwarding, ::testing::Values("--device", "--legacy"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param + 2);
                         });

}  // namespace
}  // namespace tavin
