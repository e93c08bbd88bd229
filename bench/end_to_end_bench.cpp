// End to end: a sender plays a pre-encoded clip (600 pictures of one-slice
// H.264, as phones send it) over loopback TCP to an engine with an opened
// slot whose camera has a consumer, against the bare pipeline (libavcodec
// decoding and a swscale conversion to YUYV, plus BGRA when the slot feeds
// the preview) on the same clip in one process.
//
// The engine's side runs twice over the clip: first at full speed, keeping
// at most two packets in flight (a packet stops being in flight when its
// Timing message comes back, that is when the engine takes it for
// decoding), for the pictures per second, the CPU time and the heap
// allocations per picture and the resident memory; then one picture at a
// time (the next one is sent once the consumer took the previous), for the
// time from a Video message's arrival to its slot's ready flag, which is
// held against the bare pipeline's time to decode and convert a picture.
// The first 30 pictures of each pass warm up and are not counted. The
// engine's CPU time is the process's without the sender's and the
// consumers' threads. Resident memory is measured with one opened slot and
// with four (one streaming).
//
// Every measurement runs in a process of its own (the program runs itself
// again), alternating between the two sides.
//
//   end_to_end_bench [--runs N] [--sizes 1080,2160] [--active]
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "allocation_counter.h"
#include "bare_pipeline.h"
#include "bench_driver.h"
#include "engine.h"
#include "engine_slots.h"
#include "figures.h"
#include "output/preview_picture.h"
#include "phone_sender.h"
#include "platform/clock.h"
#include "process_figures.h"
#include "test_clip.h"

using namespace tavin;
using namespace tavin::bench;

namespace {

constexpr int kPictures = 600;
constexpr int kWarmUp = 30;
constexpr int kInFlight = 2;
constexpr int kMemoryPictures = 300;  // the four-slot run only measures memory

struct Size {
    int width, height;
};

std::vector<Packet> clipOf(int width, int height) {
    return loadClip(phoneClip(width, height, kPictures), clipCacheFolder());
}

// ---------------------------------------------------------------- bare side

int bareChild(int width, int height, PreviewCopy preview) {
    const std::vector<Packet> clip = clipOf(width, height);
    BarePipeline bare(width, height, preview);
    if (clip.empty() || !bare.valid()) return 1;
    std::vector<double> times;
    double start = 0.0, cpu = 0.0;
    int pictures = 0;
    for (int i = 0; i < kPictures; ++i) {
        if (i == kWarmUp) {
            start = platform::processClock();
            cpu = processCpuSeconds();
            startCountingAllocations();
        }
        const double before = platform::processClock();
        const bool picture = bare.run(clip[static_cast<std::size_t>(i)]);
        if (i >= kWarmUp && picture) {
            times.push_back(platform::processClock() - before);
            ++pictures;
        }
    }
    stopCountingAllocations();
    const double seconds = platform::processClock() - start;
    reportResult("fps", pictures / seconds);
    reportResult("cpu_ms", (processCpuSeconds() - cpu) * 1e3 / pictures);
    reportResult("allocations", static_cast<double>(allocationsCounted()) / pictures);
    reportResult("p50_ms", percentile(times, 50) * 1e3);
    reportResult("p99_ms", percentile(times, 99) * 1e3);
    return 0;
}

// ---------------------------------------------------------------- engine side

// Takes the preview picture as the host's preview would, so that the
// active slot converts every picture for it.
class PreviewTaker {
public:
    PreviewTaker() {
        thread_ = std::thread([this] {
            PreviewPicture& preview = PreviewPicture::process();
            while (running_.load()) {
                if (preview.ready()) preview.take();
                usleep(500);
            }
        });
    }
    ~PreviewTaker() {
        running_.store(false);
        thread_.join();
    }
    pthread_t thread() { return thread_.native_handle(); }

private:
    std::atomic<bool> running_{true};
    std::thread thread_;
};

int engineChild(int width, int height, int slots, bool active) {
    const std::vector<Packet> clip = clipOf(width, height);
    if (clip.empty()) return 1;
    const int pictures = slots == 1 ? kPictures : kMemoryPictures;
    BenchDriver driver(slots, width, height);
    const std::optional<double> residentBefore = openEngineSlots(driver, slots);
    if (!residentBefore) return 1;
    std::unique_ptr<PreviewTaker> previewTaker;
    if (active) {
        ESetActiveIdx(0);
        previewTaker = std::make_unique<PreviewTaker>();
    }
    PhoneSender sender(PhoneId{0xbe, 0x4c, 0xe2, 0xe0, 0x01});
    sender.announce();
    if (!sender.start(VideoFormat{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), 30.0f},
                      30.0)) {
        std::fprintf(stderr, "end_to_end_bench: the engine did not connect\n");
        return 1;
    }

    // Full speed, at most two packets in flight.
    const pthread_t self = pthread_self();
    auto sideThreads = [&] {
        double cpu = threadCpuSeconds(self) + threadCpuSeconds(driver.consumerThread(0));
        if (previewTaker) cpu += threadCpuSeconds(previewTaker->thread());
        return cpu;
    };
    double cpuStart = 0.0, sideStart = 0.0;
    std::uint64_t picturesStart = 0;
    bool counting = false;
    std::uint64_t sent = 0;
    for (int i = 0; i < pictures; ++i) {
        while (sent - sender.timings() >= kInFlight) sender.readReplies(5);
        if (sender.sendVideo(clip[static_cast<std::size_t>(i)], BenchDriver::tagOf(static_cast<std::uint32_t>(i + 1))) ==
            0.0)
            return 1;
        ++sent;
        if (!counting && driver.lastSequence(0) >= kWarmUp) {
            counting = true;
            picturesStart = driver.pictures(0);
            cpuStart = processCpuSeconds();
            sideStart = sideThreads();
            startCountingAllocations();
        }
    }
    if (!driver.waitForSequence(0, static_cast<std::uint32_t>(pictures), 30.0)) {
        std::fprintf(stderr, "end_to_end_bench: the last picture never came\n");
        return 1;
    }
    stopCountingAllocations();
    const double engineCpu = (processCpuSeconds() - cpuStart) - (sideThreads() - sideStart);
    const double counted = static_cast<double>(driver.pictures(0) - picturesStart);
    const double first = driver.readyAt(0, kWarmUp), last = driver.readyAt(0, static_cast<std::uint32_t>(pictures));
    reportResult("fps", (pictures - kWarmUp) / (last - first));
    reportResult("cpu_ms", engineCpu * 1e3 / counted);
    reportResult("allocations", static_cast<double>(allocationsCounted()) / counted);
    reportResult("missing", pictures - static_cast<double>(driver.pictures(0)));
    reportResult("resident_mb", static_cast<double>(residentBytes()) / kMegabyte);
    reportResult("engine_resident_mb", (static_cast<double>(residentBytes()) - *residentBefore) / kMegabyte);
    reportResult("shared_mb", static_cast<double>(residentSharedBytes()) / kMegabyte);

    // One picture at a time: arrival to ready.
    if (slots == 1) {
        std::vector<double> latencies;
        for (int i = 0; i < pictures; ++i) {
            const auto sequence = static_cast<std::uint32_t>(pictures + 1 + i);
            const double arrival = sender.sendVideo(clip[static_cast<std::size_t>(i)], BenchDriver::tagOf(sequence));
            if (arrival == 0.0 || !driver.waitForSequence(0, sequence, 10.0)) return 1;
            sender.readReplies(0);
            if (i >= kWarmUp) latencies.push_back(driver.readyAt(0, sequence) - arrival);
        }
        reportResult("p50_ms", percentile(latencies, 50) * 1e3);
        reportResult("p99_ms", percentile(latencies, 99) * 1e3);
    }
    previewTaker.reset();
    for (int i = slots - 1; i >= 0; --i) EUninitialize(static_cast<std::uint32_t>(i));
    return 0;
}

// ---------------------------------------------------------------- parent


std::string goal(bool met) { return met ? "yes" : "**no**"; }

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--bare")
        return bareChild(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]) ? PreviewCopy::Yes : PreviewCopy::No);
    if (argc == 6 && std::string(argv[1]) == "--engine")
        return engineChild(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]) != 0);

    int runs = 3;
    bool active = false;
    std::vector<Size> sizes{{1920, 1080}, {3840, 2160}};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--sizes" && i + 1 < argc) {
            // Heights of 16:9 pictures, e.g. "1080,2160".
            sizes.clear();
            const std::string text = argv[++i];
            for (std::size_t at = 0; at < text.size();) {
                const int height = std::atoi(text.c_str() + at);
                if (height > 0) sizes.push_back(Size{height * 16 / 9, height});
                const std::size_t comma = text.find(',', at);
                at = comma == std::string::npos ? text.size() : comma + 1;
            }
        } else if (arg == "--active") {
            active = true;
        }
    }

    const std::string preview = active ? "1" : "0";
    MarkdownTable speed({"Size", "Engine pictures/s", "Bare pictures/s", "Ratio", "Goal", "Engine CPU ms/picture",
                         "Bare CPU ms/picture", "Ratio", "Goal (<= 1.1)"});
    MarkdownTable latency({"Size", "Arrival to ready p50 (ms)", "p99 (ms)", "Bare decode + convert p50 (ms)",
                           "p99 (ms)", "p99 difference (ms)", "Goal (<= 0.5)"});
    MarkdownTable memory({"Size", "Engine allocations/picture", "Bare allocations/picture", "Difference",
                          "Resident MB, 1 slot (engine's part)", "Resident MB, 4 slots (engine's part)",
                          "Goal (< 300)", "Pictures missing"});
    for (const Size& size : sizes) {
        if (clipOf(size.width, size.height).empty()) {
            std::fprintf(stderr, "end_to_end_bench: no clip (libx264 missing?)\n");
            return 1;
        }
        const std::string w = std::to_string(size.width), h = std::to_string(size.height);
        Results engine, bare, four;
        for (int r = 0; r < runs; ++r) {
            const bool bareFirst = r % 2 == 1;
            std::optional<Results> b, e;
            if (bareFirst) b = runChild({"--bare", w, h, preview}, 900.0);
            e = runChild({"--engine", w, h, "1", preview}, 900.0);
            if (!bareFirst) b = runChild({"--bare", w, h, preview}, 900.0);
            if (!b || !e) return 1;
            appendResults(bare, *b);
            appendResults(engine, *e);
        }
        if (std::optional<Results> f = runChild({"--engine", w, h, "4", "0"}, 900.0)) appendResults(four, *f);
        const std::string name = formatText("%d x %d", size.width, size.height);
        const double fpsGoal = size.height >= 2160 ? 0.9 : 0.95;
        const Comparison fps = Comparison::of(engine["fps"], bare["fps"]);
        const Comparison cpu = Comparison::of(engine["cpu_ms"], bare["cpu_ms"]);
        speed.row({name, fps.engine.text(1), fps.bare.text(1), fps.ratio.text(3),
                   formatText(">= %.2f: %s", fpsGoal, goal(fps.ratio.median >= fpsGoal).c_str()), cpu.engine.text(2),
                   cpu.bare.text(2), cpu.ratio.text(3), goal(cpu.ratio.median <= 1.1)});
        const Figure p99 = Figure::of(engine["p99_ms"]), bareP99 = Figure::of(bare["p99_ms"]);
        std::vector<double> difference;
        for (std::size_t i = 0; i < engine["p99_ms"].size() && i < bare["p99_ms"].size(); ++i)
            difference.push_back(engine["p99_ms"][i] - bare["p99_ms"][i]);
        const Figure diff = Figure::of(difference);
        latency.row({name, Figure::of(engine["p50_ms"]).text(2), p99.text(2), Figure::of(bare["p50_ms"]).text(2),
                     bareP99.text(2), diff.text(2), goal(diff.median <= 0.5)});
        const Figure allocations = Figure::of(engine["allocations"]), bareAllocations = Figure::of(bare["allocations"]);
        std::vector<double> extra;
        for (std::size_t i = 0; i < engine["allocations"].size() && i < bare["allocations"].size(); ++i)
            extra.push_back(engine["allocations"][i] - bare["allocations"][i]);
        const Figure fourResident = Figure::of(four["resident_mb"]);
        memory.row({name, allocations.text(1), bareAllocations.text(1), Figure::of(extra).text(1),
                    formatText("%s (%s)", Figure::of(engine["resident_mb"]).text(0).c_str(),
                           Figure::of(engine["engine_resident_mb"]).text(0).c_str()),
                    formatText("%s (%s)", fourResident.text(0).c_str(),
                           Figure::of(four["engine_resident_mb"]).text(0).c_str()),
                    goal(fourResident.runs > 0 && fourResident.median < 300.0),
                    Figure::of(engine["missing"]).text(0)});
    }
    std::printf("### 4. End to end against the bare pipeline%s\n\n",
                active ? " (the slot feeds the preview; the bare pipeline converts to BGRA too)" : "");
    std::printf("Pictures per second and CPU time (full speed, at most %d packets in flight):\n\n", kInFlight);
    speed.print(stdout);
    std::printf("Arrival of a Video message to its slot's ready flag (one picture at a time):\n\n");
    latency.print(stdout);
    std::printf("Heap allocations per picture in the steady state, and resident memory:\n\n");
    memory.print(stdout);
    return 0;
}
