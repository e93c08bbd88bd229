// The drivers' side of the end-to-end benchmarks, in the benchmark's own
// process: the driver substitute's devices for camera indexes
// 0..cameras-1 (shared regions whose consumer asks width x height YUY2 at
// 30 fps, audio devices, device files in a folder of its own, which
// TAVIN_DEVICE_DIR then names), and one consumer thread per camera that
// takes each picture as soon as the engine marks it ready (it waits on the
// camera's event) and notes when it saw which one. Pictures are told apart
// by their time stamp, which the benchmarks' senders make kFirstTag plus a
// sequence number; the idle picture's stamps (the engine's clock) are far
// below and are not counted.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tavin::vcam {
class Daemon;
}

namespace tavin::bench {

class BenchDriver {
public:
    // The stamp of picture 0; float32 holds every whole number up to 2^24.
    static constexpr std::uint32_t kFirstTag = 1'000'000;
    // Sequence numbers from this on are counted but their moment not kept.
    static constexpr std::uint32_t kMaxSequence = 1u << 16;
    static float tagOf(std::uint32_t sequence) { return static_cast<float>(kFirstTag + sequence); }

    BenchDriver(int cameras, int width, int height);
    ~BenchDriver();
    BenchDriver(const BenchDriver&) = delete;
    BenchDriver& operator=(const BenchDriver&) = delete;

    // Creates the devices and starts the consumers; false with a reason.
    bool start(std::string& error);

    // The consumer of `camera` asks for another format (written into its
    // region as the driver would).
    void request(int camera, int width, int height, std::int32_t kind);

    // Pictures camera `camera` took so far, and the highest sequence number
    // taken (0 before the first).
    std::uint64_t pictures(int camera) const;
    std::uint32_t lastSequence(int camera) const;
    // When picture `sequence` was seen ready (process clock); 0 when it never was.
    double readyAt(int camera, std::uint32_t sequence) const;
    // Waits until picture `sequence` or a later one was taken.
    bool waitForSequence(int camera, std::uint32_t sequence, double timeoutSeconds) const;
    pthread_t consumerThread(int camera);

private:
    struct Consumer;
    void consume(Consumer& c);

    const int cameras_;
    const int width_, height_;
    std::string folder_;
    std::unique_ptr<vcam::Daemon> daemon_;
    std::vector<std::unique_ptr<Consumer>> consumers_;
    std::atomic<bool> running_{false};
};

}  // namespace tavin::bench
