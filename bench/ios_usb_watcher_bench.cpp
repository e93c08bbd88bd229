// Starting and stopping the iOS watcher without any usbmuxd service, as
// instance 0 does when it is created and destroyed: the subscription
// (libusbmuxd starts its own thread, which keeps looking for the service)
// and its end (that thread is cancelled and joined), against a bare thread
// with the same 100 ms passes.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>

#include "discovery/ios_usb_watcher.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace {

void useNoService() { setenv("USBMUXD_SOCKET_ADDRESS", "UNIX:/nonexistent/engine-bench-usbmuxd", 1); }

// Baseline: a thread that signals it runs, then sleeps in the watcher's
// steps until it is stopped.
void BM_BareThreadStartStop(benchmark::State& state) {
    for (auto _ : state) {
        std::atomic<bool> running{true};
        std::atomic<bool> started{false};
        tavin::platform::Thread thread;
        thread.start([&] {
            started = true;
            while (running.load()) tavin::platform::sleepMs(tavin::IosUsbWatcher::kPassSleepMs);
        });
        while (!started.load()) tavin::platform::sleepMs(1);
        running = false;
        thread.join();
    }
}
BENCHMARK(BM_BareThreadStartStop)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();

void BM_WatcherStartStopWithoutService(benchmark::State& state) {
    useNoService();
    for (auto _ : state) {
        tavin::IosUsbWatcher watcher;
        while (!watcher.subscribed()) tavin::platform::sleepMs(1);
    }
}
BENCHMARK(BM_WatcherStartStopWithoutService)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();

}  // namespace
