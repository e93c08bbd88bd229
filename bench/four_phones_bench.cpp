// Four phones at once: four senders play the 1920 x 1080 clip to four
// opened slots at 30 pictures per second each, every picture on its
// schedule as a phone sends it, for a minute; each camera's consumer counts
// the pictures it gets. Against it, in the same run, four bare pipelines
// decode and convert the same pictures on the same schedule (four threads
// at once, each picture when its phone would send it); the engine's CPU
// time over the minute, without the senders' and the consumers' threads,
// is held against theirs.
//
// Each side runs in a process of its own (the program runs itself again).
//
//   four_phones_bench [--runs N] [--seconds S]
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bare_pipeline.h"
#include "bench_driver.h"
#include "engine.h"
#include "engine_slots.h"
#include "figures.h"
#include "phone_sender.h"
#include "platform/clock.h"
#include "process_figures.h"
#include "test_clip.h"

using namespace tavin;
using namespace tavin::bench;

namespace {

constexpr int kPhones = 4;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kClipPictures = 600;
constexpr double kRate = 30.0;

std::vector<Packet> clip() { return loadClip(phoneClip(kWidth, kHeight, kClipPictures), clipCacheFolder()); }

void sleepUntil(double when) {
    const double left = when - platform::processClock();
    if (left <= 0) return;
    timespec t{static_cast<time_t>(left), static_cast<long>((left - std::floor(left)) * 1e9)};
    nanosleep(&t, nullptr);
}

int engineChild(double seconds) {
    const std::vector<Packet> packets = clip();
    if (packets.empty()) return 1;
    BenchDriver driver(kPhones, kWidth, kHeight);
    const std::optional<double> residentBefore = openEngineSlots(driver, kPhones);
    if (!residentBefore) return 1;
    std::vector<std::unique_ptr<PhoneSender>> senders;
    for (int i = 0; i < kPhones; ++i) {
        senders.push_back(std::make_unique<PhoneSender>(PhoneId{0xbe, 0x4c, 0x40, 0x04, static_cast<std::uint8_t>(i)}));
        senders.back()->announce();
    }
    const VideoFormat format{kWidth, kHeight, static_cast<float>(kRate)};
    for (auto& sender : senders) {
        if (!sender->start(format, 30.0)) {
            std::fprintf(stderr, "four_phones_bench: a slot did not connect\n");
            return 1;
        }
    }

    const auto pictures = static_cast<std::uint32_t>(seconds * kRate);
    const double start = platform::processClock() + 0.1;
    const double cpuStart = processCpuSeconds();
    std::vector<std::thread> threads;
    std::vector<double> senderCpu(kPhones, 0.0);
    std::atomic<int> failures{0};
    for (int i = 0; i < kPhones; ++i) {
        threads.emplace_back([&, i] {
            PhoneSender& sender = *senders[static_cast<std::size_t>(i)];
            const double cpu = threadCpuSeconds(pthread_self());
            for (std::uint32_t k = 0; k < pictures; ++k) {
                sleepUntil(start + k / kRate);
                if (sender.sendVideo(packets[k % packets.size()], BenchDriver::tagOf(k + 1)) == 0.0) ++failures;
                sender.readReplies(0);
            }
            senderCpu[static_cast<std::size_t>(i)] = threadCpuSeconds(pthread_self()) - cpu;
        });
    }
    std::vector<double> consumerCpu;
    for (int i = 0; i < kPhones; ++i) consumerCpu.push_back(threadCpuSeconds(driver.consumerThread(i)));
    const double mainCpu = threadCpuSeconds(pthread_self());
    for (auto& t : threads) t.join();
    for (int i = 0; i < kPhones; ++i) driver.waitForSequence(i, pictures, 2.0);
    double sides = threadCpuSeconds(pthread_self()) - mainCpu;
    for (int i = 0; i < kPhones; ++i) {
        sides += senderCpu[static_cast<std::size_t>(i)];
        sides += threadCpuSeconds(driver.consumerThread(i)) - consumerCpu[static_cast<std::size_t>(i)];
    }
    const double engineCpu = processCpuSeconds() - cpuStart - sides;
    reportResult("cpu_s", engineCpu);
    reportResult("cpu_ms", engineCpu * 1e3 / (pictures * kPhones));
    reportResult("resident_mb", static_cast<double>(residentBytes()) / kMegabyte);
    reportResult("engine_resident_mb", (static_cast<double>(residentBytes()) - *residentBefore) / kMegabyte);
    reportResult("send_failures", failures.load());
    for (int i = 0; i < kPhones; ++i) {
        const auto delivered = static_cast<double>(driver.pictures(i));
        reportResult("delivered." + std::to_string(i), delivered);
        reportResult("dropped." + std::to_string(i), pictures - delivered);
    }
    for (int i = kPhones - 1; i >= 0; --i) EUninitialize(static_cast<std::uint32_t>(i));
    return 0;
}

int bareChild(double seconds) {
    const std::vector<Packet> packets = clip();
    if (packets.empty()) return 1;
    const auto pictures = static_cast<std::uint32_t>(seconds * kRate);
    std::vector<std::unique_ptr<BarePipeline>> pipelines;
    for (int i = 0; i < kPhones; ++i)
        pipelines.push_back(std::make_unique<BarePipeline>(kWidth, kHeight, PreviewCopy::No));
    // Each picture when a phone would send it, as the engine gets them.
    const double start = platform::processClock() + 0.1;
    const double cpu = processCpuSeconds();
    std::vector<std::thread> threads;
    for (int i = 0; i < kPhones; ++i) {
        threads.emplace_back([&, i] {
            BarePipeline& bare = *pipelines[static_cast<std::size_t>(i)];
            for (std::uint32_t k = 0; k < pictures; ++k) {
                sleepUntil(start + k / kRate);
                bare.run(packets[k % packets.size()]);
            }
        });
    }
    for (auto& t : threads) t.join();
    const double used = processCpuSeconds() - cpu;
    reportResult("cpu_s", used);
    reportResult("cpu_ms", used * 1e3 / (pictures * kPhones));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--engine") return engineChild(std::atof(argv[2]));
    if (argc == 3 && std::string(argv[1]) == "--bare") return bareChild(std::atof(argv[2]));
    int runs = 3;
    double seconds = 60.0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
        if (arg == "--seconds") seconds = std::max(5.0, std::atof(argv[i + 1]));
    }
    if (clip().empty()) {
        std::fprintf(stderr, "four_phones_bench: no clip (libx264 missing?)\n");
        return 1;
    }
    const std::string s = formatText("%g", seconds);
    Results engine, bare;
    for (int r = 0; r < runs; ++r) {
        std::optional<Results> e, b;
        if (r % 2 == 1) b = runChild({"--bare", s}, seconds * 10 + 300);
        e = runChild({"--engine", s}, seconds * 3 + 120);
        if (r % 2 == 0) b = runChild({"--bare", s}, seconds * 10 + 300);
        if (!e || !b) return 1;
        appendResults(engine, *e);
        appendResults(bare, *b);
    }
    const auto pictures = static_cast<int>(seconds * kRate);
    std::printf("### 5. Four phones at once: %d x %d at %g pictures per second to four slots for %g s\n\n", kWidth,
                kHeight, kRate, seconds);
    MarkdownTable slots({"Slot", "Pictures sent", "Delivered", "Dropped", "Goal (0 dropped)"});
    for (int i = 0; i < kPhones; ++i) {
        const Figure dropped = Figure::of(engine["dropped." + std::to_string(i)]);
        slots.row({std::to_string(i), std::to_string(pictures),
                   Figure::of(engine["delivered." + std::to_string(i)]).text(0), dropped.text(0),
                   dropped.high == 0.0 ? "yes" : "**no**"});
    }
    slots.print(stdout);
    const Comparison cpu = Comparison::of(engine["cpu_s"], bare["cpu_s"]);
    MarkdownTable load({"Engine CPU s", "Four bare pipelines CPU s", "Ratio", "Goal (<= 1.1)",
                        "Engine CPU ms/picture", "Resident MB (engine's part)"});
    load.row({cpu.engine.text(1), cpu.bare.text(1), cpu.ratio.text(3), cpu.ratio.median <= 1.1 ? "yes" : "**no**",
              Figure::of(engine["cpu_ms"]).text(2),
              Figure::of(engine["resident_mb"]).text(0) + " (" + Figure::of(engine["engine_resident_mb"]).text(0) + ")"});
    load.print(stdout);
    return 0;
}
