#include "bench_driver.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include "daemon.h"
#include "output/driver_layout.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "platform/named_objects.h"

namespace tavin::bench {

namespace sl = driver::slot;

struct BenchDriver::Consumer {
    int index = 0;
    std::unique_ptr<platform::SharedRegion> region;
    std::unique_ptr<platform::NamedEvent> event;
    std::vector<double> readyAt = std::vector<double>(kMaxSequence, 0.0);
    std::atomic<std::uint64_t> pictures{0};
    std::atomic<std::uint32_t> lastSequence{0};
    std::thread thread;
};

BenchDriver::BenchDriver(int cameras, int width, int height) : cameras_(cameras), width_(width), height_(height) {}

BenchDriver::~BenchDriver() {
    running_.store(false);
    for (auto& c : consumers_)
        if (c->thread.joinable()) c->thread.join();
    consumers_.clear();
    if (daemon_) daemon_->shutdown();
    daemon_.reset();
    if (!folder_.empty()) rmdir(folder_.c_str());
}

bool BenchDriver::start(std::string& error) {
    char folder[] = "/tmp/bench-devices-XXXXXX";
    if (!mkdtemp(folder)) {
        error = "no temporary folder";
        return false;
    }
    folder_ = folder;
    setenv("TAVIN_DEVICE_DIR", folder, 1);
    vcam::VcamOptions options;
    options.cameras.clear();
    for (int i = 0; i < cameras_; ++i) options.cameras.push_back(i);
    options.consumer = true;
    options.format = vcam::RequestedFormat{width_, height_, 30.0f, driver::kYuy2};
    options.deviceDir = folder_;
    options.socketDir = folder_;
    options.statsInterval = 0.0;
    daemon_ = std::make_unique<vcam::Daemon>(options);
    if (!daemon_->start(error)) return false;

    running_.store(true);
    for (int i = 0; i < cameras_; ++i) {
        auto c = std::make_unique<Consumer>();
        c->index = i;
        c->region = platform::SharedRegion::openExisting(driver::kRegionNames[i], driver::region::kSize);
        c->event = platform::NamedEvent::open(driver::kEventNames[i]);
        if (!c->region || !c->event) {
            error = "camera " + std::to_string(i) + " has no region or event";
            return false;
        }
        Consumer* raw = c.get();
        c->thread = std::thread([this, raw] { consume(*raw); });
        consumers_.push_back(std::move(c));
    }
    return true;
}

void BenchDriver::consume(Consumer& c) {
    constexpr int kWaitStepMs = 100;
    std::uint8_t* slots[2] = {c.region->data() + driver::region::kSlot0, c.region->data() + driver::region::kSlot1};
    while (running_.load()) {
        if (!c.event->wait(kWaitStepMs)) continue;
        // Reset first: a picture marked ready from here on sets it again.
        c.event->reset();
        const double now = platform::processClock();
        // With both slots ready the older picture goes first.
        const bool ready0 = sl::readyFlag(slots[0]).load(std::memory_order_acquire) != 0;
        const bool ready1 = sl::readyFlag(slots[1]).load(std::memory_order_acquire) != 0;
        const bool oneFirst =
            ready0 && ready1 && readLeF32(slots[1] + sl::kTimeStamp) < readLeF32(slots[0] + sl::kTimeStamp);
        for (int k = 0; k < 2; ++k) {
            std::uint8_t* slot = slots[oneFirst ? 1 - k : k];
            if (sl::readyFlag(slot).load(std::memory_order_acquire) == 0) continue;
            const float stamp = readLeF32(slot + sl::kTimeStamp);
            sl::readyFlag(slot).store(0, std::memory_order_release);
            if (!(stamp >= static_cast<float>(kFirstTag))) continue;  // the idle picture
            const auto sequence = static_cast<std::uint32_t>(stamp) - kFirstTag;
            if (sequence < kMaxSequence && c.readyAt[sequence] == 0.0) c.readyAt[sequence] = now;
            c.pictures.fetch_add(1, std::memory_order_relaxed);
            if (sequence > c.lastSequence.load(std::memory_order_relaxed))
                c.lastSequence.store(sequence, std::memory_order_release);
        }
    }
}

void BenchDriver::request(int camera, int width, int height, std::int32_t kind) {
    std::uint8_t* region = consumers_[static_cast<std::size_t>(camera)]->region->data();
    writeLeI32(region + driver::region::kRequestHeight, height);
    writeLeF32(region + driver::region::kRequestFps, 30.0f);
    writeLeI32(region + driver::region::kRequestKind, kind);
    writeLeI32(region + driver::region::kRequestWidth, width);
}

std::uint64_t BenchDriver::pictures(int camera) const {
    return consumers_[static_cast<std::size_t>(camera)]->pictures.load();
}

std::uint32_t BenchDriver::lastSequence(int camera) const {
    return consumers_[static_cast<std::size_t>(camera)]->lastSequence.load(std::memory_order_acquire);
}

double BenchDriver::readyAt(int camera, std::uint32_t sequence) const {
    const Consumer& c = *consumers_[static_cast<std::size_t>(camera)];
    c.lastSequence.load(std::memory_order_acquire);
    return sequence < kMaxSequence ? c.readyAt[sequence] : 0.0;
}

bool BenchDriver::waitForSequence(int camera, std::uint32_t sequence, double timeoutSeconds) const {
    const double deadline = platform::processClock() + timeoutSeconds;
    while (lastSequence(camera) < sequence) {
        if (platform::processClock() > deadline) return false;
        usleep(200);
    }
    return true;
}

pthread_t BenchDriver::consumerThread(int camera) {
    return consumers_[static_cast<std::size_t>(camera)]->thread.native_handle();
}

}  // namespace tavin::bench
