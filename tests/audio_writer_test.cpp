// The audio writer: the drop interval of the recorded depths, and the
// writes it makes to an audio device of the test's own (a real device
// socket) that answers with the fill levels the test sets.
#include <gtest/gtest.h>

#include <cerrno>
#include <mutex>
#include <numeric>
#include <vector>

#include "output/audio_writer.h"
#include "output/driver_layout.h"
#include "platform/byte_order.h"
#include "platform/device_channel.h"
#include "support/child_process.h"

namespace tavin {
namespace {

AudioDepthHistory depths(std::uint32_t low, std::uint32_t high) {
    AudioDepthHistory h{};
    for (std::size_t i = 0; i < h.size(); ++i) h[i] = i % 2 ? high : low;
    return h;
}

std::vector<std::uint32_t> droppedOf(std::uint32_t count, std::uint32_t interval) {
    std::vector<std::uint32_t> dropped;
    for (std::uint32_t j = 0; j < count; ++j)
        if (audioSampleDropped(j, interval)) dropped.push_back(j);
    return dropped;
}

TEST(AudioDropInterval, DropsOnlyWhileTheSmallestDepthStaysAboveHalfTheLargest) {
    EXPECT_EQ(audioDropInterval(AudioDepthHistory{}), 0u);  // at open
    // (2 x 9,600 - 12,000) / 2 / 400 = 9 per 960 samples: every 106th.
    EXPECT_EQ(audioDropInterval(depths(9'600, 12'000)), 106u);
    std::vector<std::uint32_t> expected(9);
    for (std::uint32_t k = 0; k < 9; ++k) expected[k] = 106 * (k + 1);
    EXPECT_EQ(droppedOf(960, 106), expected);  // 106, 212, .. 954; 951 kept
    EXPECT_EQ(audioDropInterval(depths(3'000, 7'000)), 0u);      // 3,000 is not above 4,000
    EXPECT_EQ(audioDropInterval(depths(800'000, 800'000)), 0u);  // q = 1,000 > 960
    EXPECT_EQ(audioDropInterval(depths(700, 700)), 0u);          // q = 0
    EXPECT_TRUE(droppedOf(960, 0).empty());
}

// An audio device served on a socket of the test's own. Each write is
// answered with level = depth + bytes written, or fails while `failing`.
class AudioDevice {
public:
    AudioDevice() {
        const std::string path = dir_.path() + "/audio.sock";
        server_ = platform::DeviceServer::start(
            path, [this](std::uint32_t code, const std::uint8_t* input, std::uint32_t length, std::uint32_t capacity) {
                std::lock_guard<std::mutex> guard(lock_);
                platform::DeviceServer::Reply reply;
                if (code != driver::kAudioWrite || capacity != driver::kAudioWriteReply || failing_) {
                    reply.status = EIO;
                    return reply;
                }
                std::vector<std::int16_t> samples(length / 2);
                for (std::size_t i = 0; i < samples.size(); ++i)
                    samples[i] = static_cast<std::int16_t>(readLe16(input + 2 * i));
                writes_.push_back(std::move(samples));
                reply.output.assign(replyBytes_, 0);
                if (replyBytes_ >= 8)
                    writeLe32(reply.output.data() + 4, levelOverride_ ? *levelOverride_ : depth_ + length);
                return reply;
            });
        int error = 0;
        handle_ = platform::DeviceHandle::open(path, &error);
    }
    platform::DeviceHandle* handle() { return handle_.get(); }
    void answer(std::uint32_t depth, std::size_t replyBytes = 8, std::optional<std::uint32_t> level = {}) {
        std::lock_guard<std::mutex> guard(lock_);
        depth_ = depth;
        replyBytes_ = replyBytes;
        levelOverride_ = level;
    }
    void fail(bool on) {
        std::lock_guard<std::mutex> guard(lock_);
        failing_ = on;
    }
    std::vector<std::vector<std::int16_t>> take() {
        std::lock_guard<std::mutex> guard(lock_);
        return std::exchange(writes_, {});
    }

private:
    test::TempDir dir_;
    std::mutex lock_;
    std::uint32_t depth_ = 0;
    std::size_t replyBytes_ = 8;
    std::optional<std::uint32_t> levelOverride_;
    bool failing_ = false;
    std::vector<std::vector<std::int16_t>> writes_;
    std::unique_ptr<platform::DeviceServer> server_;
    std::unique_ptr<platform::DeviceHandle> handle_;
};

std::vector<std::int16_t> ramp(std::size_t count) {
    std::vector<std::int16_t> s(count);
    std::iota(s.begin(), s.end(), std::int16_t{0});
    return s;
}

void writePacket(AudioWriter& writer, AudioDevice& device, const std::vector<std::int16_t>& samples) {
    writer.write(device.handle(), samples.data(), static_cast<std::uint32_t>(samples.size() * 2));
}

TEST(AudioWriter, OneWritePerPacketAndTheDepthBeforeIt) {
    AudioDevice device;
    ASSERT_TRUE(device.handle());
    AudioWriter writer;
    const std::vector<std::int16_t> packet = ramp(960);  // 20 ms

    device.answer(700);
    writePacket(writer, device, packet);
    EXPECT_EQ(device.take(), std::vector<std::vector<std::int16_t>>{packet});  // 1,920 bytes in one request
    EXPECT_EQ(writer.writeCount(), 1u);
    EXPECT_EQ(writer.history()[0], 700u);

    // A fill level below the bytes sent, and a reply without its level
    // word, record depth 0.
    device.answer(0, 8, 1'000);
    writePacket(writer, device, packet);
    device.answer(5'000, 4);
    writePacket(writer, device, packet);
    EXPECT_EQ(writer.writeCount(), 3u);
    EXPECT_EQ(writer.history()[1], 0u);
    EXPECT_EQ(writer.history()[2], 0u);

    // A failed write changes nothing; without a device nothing is written.
    device.fail(true);
    writePacket(writer, device, packet);
    device.fail(false);
    writer.write(nullptr, packet.data(), 1920);
    EXPECT_EQ(writer.writeCount(), 3u);
    EXPECT_EQ(device.take().size(), 2u);

    writer.reset();
    EXPECT_EQ(writer.writeCount(), 0u);
    EXPECT_EQ(writer.history(), AudioDepthHistory{});
}

TEST(AudioWriter, DropsSamplesOfAHighBacklogAndSplitsWhatExceedsTheBuffer) {
    AudioDevice device;
    ASSERT_TRUE(device.handle());
    AudioWriter writer;

    // Until the history is full some depths are 0: nothing is dropped, and
    // a packet beyond the fixed buffer goes out in writes of 1,920 samples.
    device.answer(9'600);
    writePacket(writer, device, ramp(4'000));
    std::vector<std::size_t> sizes;
    std::vector<std::int16_t> joined;
    for (const auto& w : device.take()) {
        sizes.push_back(w.size());
        joined.insert(joined.end(), w.begin(), w.end());
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{1920, 1920, 160}));
    EXPECT_EQ(joined, ramp(4'000));

    // Depths 9,600 and 12,000: every 106th sample of a packet goes.
    for (int i = 0; i < 100; ++i) {
        device.answer(i % 2 ? 12'000 : 9'600);
        writePacket(writer, device, ramp(1));
    }
    device.take();
    EXPECT_EQ(writer.droppedSamples(), 0u);
    writePacket(writer, device, ramp(960));
    std::vector<std::vector<std::int16_t>> writes = device.take();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].size(), 951u);
    std::vector<std::uint32_t> missing;
    std::size_t at = 0;
    for (std::int16_t j = 0; j < 960; ++j) {
        if (at < writes[0].size() && writes[0][at] == j)
            ++at;
        else
            missing.push_back(static_cast<std::uint32_t>(j));
    }
    EXPECT_EQ(missing, droppedOf(960, 106));

    // In a 60 ms packet the interval runs over the whole packet (27
    // dropped), and the kept samples fill the buffer before a second write.
    writePacket(writer, device, ramp(2'880));
    writes = device.take();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].size(), 1920u);
    EXPECT_EQ(writes[1].size(), 2'880u - 27u - 1920u);
    EXPECT_EQ(writes[0].back(), 1937);  // 1,920 kept: 18 of 0 .. 1,937 dropped
    EXPECT_EQ(writes[1].front(), 1938);
    EXPECT_EQ(writer.droppedSamples(), 9u + 27u);
}

}  // namespace
}  // namespace tavin
