// The phone's sound through an opened engine slot into the driver
// substitute's audio device, the phone simulator and the driver substitute
// running as real processes: the device's WAV file holds the phone's tone,
// and with the phone's clock running fast the device's fill level stays
// bounded while the engine drops single samples.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <optional>

#include "engine/engine_instance.h"
#include "engine/instance_table.h"
#include "support/engine_support.h"
#include "support/session_support.h"

using namespace tavin;
using test::OpenedEngine;

namespace {

constexpr double kToneHz = 1000.0;
constexpr double kSampleRate = 48'000.0;
constexpr double kStatsSeconds = 0.5;
constexpr int kStreamSeconds = 20;

struct AudioStats {
    unsigned long long writes = 0, bytes = 0, overflow = 0, underruns = 0;
    unsigned level = 0, high = 0;
};

std::optional<AudioStats> parseStats(const std::string& line) {
    const std::size_t at = line.find("stats audio 0 ");
    if (at == std::string::npos) return std::nullopt;
    AudioStats s;
    if (std::sscanf(line.c_str() + at,
                    "stats audio 0 writes %llu bytes %llu level %u high %u overflow %llu underruns %llu", &s.writes,
                    &s.bytes, &s.level, &s.high, &s.overflow, &s.underruns) != 6)
        return std::nullopt;
    return s;
}

unsigned median(std::vector<unsigned> v) {
    if (v.empty()) return 0;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

}  // namespace

TEST_F(OpenedEngine, ThePhonesToneReachesTheAudioDeviceAndAFastPhoneClockIsAbsorbed) {
    if (!test::PhoneProcess::available()) GTEST_SKIP() << "the phone simulator is not built";
    const std::string wav = config_.path() + "/audio0.wav";
    open(1, {"--wav", "0:" + wav, "--stats-interval", "0.5"});
    test::PhoneProcess phone({"--id", "7a3c0e51d2b84f96a1c5e0f3b7d29486", "--stream-unasked", "--no-video", "--audio",
                              "--tone", "1000", "--audio-clock-skew", "0.5%"});
    ASSERT_TRUE(phone.started());

    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const PhoneId id{0x7a, 0x3c, 0x0e, 0x51, 0xd2, 0xb8, 0x4f, 0x96, 0xa1, 0xc5, 0xe0, 0xf3, 0xb7, 0xd2, 0x94, 0x86};
    InstanceTable::at(0)->networkSink().PhoneFound(id, 7, "", reinterpret_cast<sockaddr*>(&a),
                                                   htons(phone.sessionPort()));

    // The fill level over 20 s of sound, from the device's statistics.
    const auto soundStats = [&] {
        std::vector<AudioStats> stats;
        for (const std::string& line : vcam_->lines())
            if (auto s = parseStats(line); s && s->writes > 0) stats.push_back(*s);
        return stats;
    };
    ASSERT_TRUE(test::waitFor([&] { return !soundStats().empty(); }, 15.0)) << "no audio reached the device";
    sleep(kStreamSeconds);
    const std::vector<AudioStats> stats = soundStats();
    const std::uint64_t dropped = InstanceTable::at(0)->output()->audioSamplesDropped();
    vcam_.reset();  // SIGTERM: the WAV file gets its sizes

    const std::size_t half = stats.size() / 2;
    std::vector<unsigned> early, late;
    for (std::size_t i = 0; i < stats.size(); ++i) (i < half ? early : late).push_back(stats[i].high);
    const unsigned lateMax = late.empty() ? 0 : *std::max_element(late.begin(), late.end());
    const AudioStats& last = stats.back();
    std::printf("audio: %.1f s of statistics; highest fill level per %.1f s: median %u bytes in the first half, "
                "%u in the second (max %u); %llu writes, %" PRIu64 " samples dropped by the engine, %llu overflowed, "
                "%llu writes found the buffer drained\n",
                static_cast<double>(stats.size()) * kStatsSeconds, kStatsSeconds, median(early), median(late), lateMax,
                last.writes, dropped, last.overflow, last.underruns);
    ASSERT_GE(stats.size(), 30u);
    // A phone 0.5 % fast would add 480 bytes a second without the backlog
    // control; the control keeps the level near a few kilobytes. The bound
    // leaves room for a loaded machine.
    EXPECT_LT(median(late), 24'000u);

    std::optional<std::vector<std::int16_t>> samples = test::readWav(wav);
    ASSERT_TRUE(samples) << "the WAV file is not a finished 48 kHz mono 16-bit file";
    const std::size_t second = static_cast<std::size_t>(kSampleRate);
    ASSERT_GT(samples->size(), 10 * second);
    // The first 100 writes keep every sample: the tone as the phone made it.
    const double first = test::toneHz(*samples, second / 10, second);
    const double end = test::toneHz(*samples, samples->size() - 5 * second, 5 * second);
    std::printf("audio: tone %.1f Hz in the first second, %.1f Hz over the last 5 s (samples dropped raise it)\n",
                first, end);
    EXPECT_NEAR(first, kToneHz, 5.0);
    EXPECT_NEAR(end, kToneHz, 20.0);
}
