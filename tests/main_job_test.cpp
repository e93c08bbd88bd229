// The main job end to end, as the README runs it (scripts/main-job.sh on the
// built tree, every tool a real process): the engine finds the simulated
// phone by itself and streams it; the output folder holds the idle picture,
// the phone's picture, a clip and its sound; progress is told once per
// event with a summary at the end; and the job leaves no process, file,
// socket or shared object behind, also when it is interrupted as Ctrl-C
// does. As root the job runs in namespaces of its own (the phone found by
// multicast and DNS-SD); the interrupted run also covers the loopback path.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "output/driver_layout.h"
#include "output/idle_picture.h"
#include "platform/resources.h"
#include "support/child_process.h"
#include "support/engine_support.h"
#include "support/video_support.h"

using namespace tavin;

namespace {

constexpr int kSeconds = 12;
constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kClipPictures = 60;
constexpr double kToneHz = 440.0;
constexpr double kSampleRate = 48'000.0;
const std::string kPhone = "\"Simulated phone\" [WiFi]";

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::set<std::string> sharedObjects() {
    std::set<std::string> names;
    if (DIR* d = opendir("/dev/shm")) {
        while (dirent* e = readdir(d)) names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

// Processes whose command line or environment names `text`: the job's
// own, and any that left its process group (the adb stand-in's forwarding
// server detaches as adb's server does).
std::vector<pid_t> processesNaming(const std::string& text) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (!proc) return found;
    while (dirent* e = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
        if (pid <= 0 || pid == getpid()) continue;
        for (const char* what : {"cmdline", "environ"}) {
            const std::vector<std::uint8_t> bytes = readFile("/proc/" + std::string(e->d_name) + "/" + what);
            if (std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end()) {
                found.push_back(pid);
                break;
            }
        }
    }
    closedir(proc);
    return found;
}

// The text after a narrator line's time ("  4.2 s  Text").
std::string withoutTime(const std::string& line) {
    const std::size_t at = line.find(" s  ");
    return at == std::string::npos ? line : line.substr(at + 4);
}

class MainJob : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(script().c_str(), R_OK) != 0) GTEST_SKIP() << "no " << script();
        std::filesystem::create_directories(tmp());
        shmBefore_ = sharedObjects();
    }

    static std::string script() { return std::string(SOURCE_DIR) + "/scripts/main-job.sh"; }
    std::string output() const { return dir_.path() + "/out"; }
    // The job's TMPDIR: its working folder (device files, sockets, FIFOs,
    // the adb stand-in's state) lives inside.
    std::string tmp() const { return dir_.path() + "/tmp"; }

    // Starts the job in a session of its own, so that the test can signal
    // its whole process group as Ctrl-C in a terminal does.
    void start(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"/usr/bin/setsid", "bash", script(), "--output", output()};
        argv.insert(argv.end(), args.begin(), args.end());
        job_ = std::make_unique<test::ChildProcess>(argv, std::vector<std::string>{"TMPDIR=" + tmp()});
    }

    std::vector<std::string> lines() { return job_->lines(); }
    bool said(const std::string& text) { return job_->countLines(text) > 0; }

    void expectNothingLeft() {
        const pid_t group = job_->pid();
        EXPECT_TRUE(test::waitFor([&] { return kill(-group, 0) != 0 && errno == ESRCH; }, 5.0))
            << "a process of the job's group is still running";
        EXPECT_TRUE(test::waitFor([&] { return processesNaming(tmp()).empty(); }, 5.0))
            << "a process started by the job is still running";
        EXPECT_TRUE(std::filesystem::is_empty(tmp())) << "the job's working folder is still there";
        EXPECT_EQ(sharedObjects(), shmBefore_);
    }

    // Each camera's phone list is told when it changes, never twice alike
    // in a row.
    void expectListsToldOnChange() {
        std::map<std::string, std::string> last;
        for (const std::string& line : lines()) {
            const std::string text = withoutTime(line);
            if (text.rfind("Phones for camera ", 0) != 0) continue;
            const std::string camera = text.substr(0, text.find(':'));
            EXPECT_NE(last[camera], text) << "told twice: " << text;
            last[camera] = text;
        }
    }

    test::TempDir dir_;
    std::set<std::string> shmBefore_;
    std::unique_ptr<test::ChildProcess> job_;
};

// Mean difference of the idle picture's bright pixels (the animation and
// the text) in `rgb` from frame `frame` of the engine's own drawing, and
// of the rest; the idle PNG went through YUY2, which smears colour.
struct IdleDifference {
    double drawn = 0.0;
    double background = 0.0;
};
IdleDifference idleDifference(IdlePicture& idle, const std::vector<std::uint8_t>& rgb, std::uint64_t frame) {
    const auto bgr = idle.draw(kWidth, kHeight, driver::kBgr24, frame);
    IdleDifference d;
    if (bgr.size() < static_cast<std::size_t>(kWidth) * kHeight * 3) return {1e9, 1e9};
    std::uint64_t drawnSum = 0, drawnCount = 0, restSum = 0, restCount = 0;
    for (std::size_t i = 0; i + 2 < static_cast<std::size_t>(kWidth) * kHeight * 3; i += 3) {
        const int diff = std::abs(bgr[i] - rgb[i + 2]) + std::abs(bgr[i + 1] - rgb[i + 1]) + std::abs(bgr[i + 2] - rgb[i]);
        if (bgr[i] + bgr[i + 1] + bgr[i + 2] > 60) {
            drawnSum += static_cast<std::uint64_t>(diff);
            ++drawnCount;
        } else {
            restSum += static_cast<std::uint64_t>(diff);
            ++restCount;
        }
    }
    d.drawn = drawnCount ? static_cast<double>(drawnSum) / (3.0 * static_cast<double>(drawnCount)) : 1e9;
    d.background = restCount ? static_cast<double>(restSum) / (3.0 * static_cast<double>(restCount)) : 1e9;
    return d;
}

TEST_F(MainJob, ShowsWhatTheUserSeesAndLeavesNothingBehind) {
    start({"--seconds", std::to_string(kSeconds)});
    const std::optional<int> status = job_->wait(std::chrono::seconds(kSeconds + 90));
    ASSERT_TRUE(status) << "the job did not end";
    for (const std::string& line : lines()) std::printf("job: %s\n", line.c_str());
    EXPECT_EQ(*status, 0);

    // Progress in a person's words.
    EXPECT_TRUE(said("The driver substitute is ready."));
    EXPECT_TRUE(said("The engine attached to camera \"Tavin Webcam\" through shared memory."));
    EXPECT_TRUE(said("is connecting to a phone."));
    EXPECT_TRUE(said("Found " + kPhone + " for camera"));
    EXPECT_TRUE(said("shows " + kPhone + " at 1280 x 720, H.264."));
    EXPECT_TRUE(said(" pictures/s, 0 dropped, sound "));
    EXPECT_TRUE(said("Summary after "));
    EXPECT_TRUE(said("showed " + kPhone + " at 1280 x 720, H.264: "));
    EXPECT_TRUE(said("Errors recorded: none."));
    EXPECT_TRUE(said("Output folder: " + output()));
    expectListsToldOnChange();
    expectNothingLeft();

    // The idle picture: the animation and "Looking for the phone", as the
    // engine draws them, at one of the animation's frames.
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgb;
    ASSERT_TRUE(test::decodePng(readFile(output() + "/idle.png"), width, height, rgb));
    ASSERT_EQ(width, kWidth);
    ASSERT_EQ(height, kHeight);
    IdlePicture idle;
    ASSERT_GT(idle.load(platform::findResource(platform::kIdleAnimationResource)), 0);
    IdleDifference best{1e9, 1e9};
    for (int frame = 0; frame < idle.frameCount(); ++frame) {
        const IdleDifference d = idleDifference(idle, rgb, static_cast<std::uint64_t>(frame));
        if (d.drawn < best.drawn) best = d;
    }
    std::printf("idle.png: mean difference %.2f on the drawn pixels, %.2f elsewhere\n", best.drawn, best.background);
    EXPECT_LT(best.drawn, 10.0);
    EXPECT_LT(best.background, 2.0);

    // The phone's picture: one of the simulator's own frames, up to the
    // losses of encoding and of YUY2.
    ASSERT_TRUE(test::decodePng(readFile(output() + "/phone.png"), width, height, rgb));
    ASSERT_EQ(width, kWidth);
    ASSERT_EQ(height, kHeight);
    test::SimulatorPicture reference(kWidth, kHeight, AV_PIX_FMT_RGB24);
    ASSERT_TRUE(reference.valid());
    const double difference = reference.bestDifference(rgb.data(), 3 * kWidth, 30 * (kSeconds + 5));
    std::printf("phone.png: mean difference %.2f from the simulator's frame\n", difference);
    EXPECT_LT(difference, 4.0);

    // The clip: a Y4M stream of whole pictures.
    const std::vector<std::uint8_t> clip = readFile(output() + "/phone.y4m");
    const std::string header = "YUV4MPEG2 W1280 H720 ";
    ASSERT_GT(clip.size(), header.size());
    EXPECT_EQ(std::string(clip.begin(), clip.begin() + static_cast<long>(header.size())), header);
    const std::size_t headerEnd = static_cast<std::size_t>(std::find(clip.begin(), clip.end(), '\n') - clip.begin()) + 1;
    EXPECT_EQ(clip.size() - headerEnd, kClipPictures * (6 + kWidth * kHeight * 3 / 2u));

    // The sound: the phone's tone, as the phone made it in the first
    // second (later the engine may leave out single samples to keep the
    // device's backlog down, which raises it a little).
    const std::optional<std::vector<std::int16_t>> samples = test::readWav(output() + "/phone.wav");
    ASSERT_TRUE(samples) << "phone.wav is not a finished 48 kHz mono 16-bit file";
    const auto second = static_cast<std::size_t>(kSampleRate);
    ASSERT_GT(samples->size(), 3 * second);
    EXPECT_NEAR(test::toneHz(*samples, second / 10, second), kToneHz, 5.0);

    EXPECT_TRUE(std::filesystem::exists(output() + "/preview.png"));
}

TEST_F(MainJob, CtrlCStopsItWithASummaryAndNothingLeft) {
    start({"--seconds", "120", "--loopback", "--no-cable"});
    ASSERT_TRUE(job_->waitForLine("shows " + kPhone, std::chrono::seconds(60))) << "the phone never streamed";
    ASSERT_TRUE(job_->waitForLine("pictures/s, 0 dropped", std::chrono::seconds(20)));
    ASSERT_EQ(kill(-job_->pid(), SIGINT), 0);
    const std::optional<int> status = job_->wait(std::chrono::seconds(60));
    ASSERT_TRUE(status) << "the job did not end";
    for (const std::string& line : lines()) std::printf("job: %s\n", line.c_str());
    EXPECT_EQ(*status, 130);
    EXPECT_TRUE(said("Summary after "));
    EXPECT_TRUE(said("showed " + kPhone));
    EXPECT_TRUE(said("Output folder: " + output()));
    expectNothingLeft();
    // The driver substitute finished the sound file as it stopped.
    EXPECT_TRUE(test::readWav(output() + "/phone.wav"));
}

}  // namespace
