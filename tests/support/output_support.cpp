#include "support/output_support.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "engine/error_record.h"
#include "output/driver_layout.h"
#include "platform/byte_order.h"
#include "platform/registry_store.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace tavin::test {

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// ---- RecordingControls ------------------------------------------------------

void RecordingControls::add(Call call) {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back(call);
    changed_.notify_all();
}

std::vector<RecordingControls::Call> RecordingControls::calls() const {
    std::lock_guard<std::mutex> guard(lock_);
    return calls_;
}

bool RecordingControls::waitForCalls(std::size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return calls_.size() >= count; });
}

// ---- ScopedDeviceDir --------------------------------------------------------

ScopedDeviceDir::ScopedDeviceDir() : path_(root_.path() + "/devices") {
    if (const char* old = std::getenv("TAVIN_DEVICE_DIR")) previous_ = old;
    ::setenv("TAVIN_DEVICE_DIR", path_.c_str(), 1);
}

ScopedDeviceDir::~ScopedDeviceDir() {
    if (previous_)
        ::setenv("TAVIN_DEVICE_DIR", previous_->c_str(), 1);
    else
        ::unsetenv("TAVIN_DEVICE_DIR");
}

void ScopedDeviceDir::writeDevice(const std::string& name, const std::string& friendlyName,
                                  const std::string& devicePath) {
    ::mkdir(path_.c_str(), 0700);
    std::ofstream file(path_ + "/" + name + ".device", std::ios::binary | std::ios::trunc);
    file << "FriendlyName=" << friendlyName << "\nDevicePath=" << devicePath << "\n";
}

// ---- Vcam -------------------------------------------------------------------

namespace {

std::vector<std::string> vcamArgv(const std::string& deviceDir, const std::vector<std::string>& args) {
    std::vector<std::string> argv{toolPath("vcam"), "--device-dir", deviceDir, "--stats-interval", "0"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace

Vcam::Vcam(const std::string& deviceDir, const std::vector<std::string>& args)
    : process_(vcamArgv(deviceDir, args)) {
    ready_ = process_.waitForLine("vcam: ready", std::chrono::milliseconds(kOutputWaitMs)).has_value();
}

Vcam::~Vcam() { process_.stop(); }

bool Vcam::command(const std::string& line, const std::string& echo) {
    const int before = process_.countLines(echo);
    process_.writeLine(line);
    return waitForCount(echo, before + 1);
}

bool Vcam::waitForCount(const std::string& text, int count, int timeoutMs) {
    return waitUntil([&] { return process_.countLines(text) >= count; }, timeoutMs);
}

// ---- Pictures ---------------------------------------------------------------

bool decodePng(const std::vector<std::uint8_t>& file, int& width, int& height, std::vector<std::uint8_t>& rgb) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    if (!codec) return false;
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    bool ok = context && packet && frame && avcodec_open2(context, codec, nullptr) == 0 &&
              av_new_packet(packet, static_cast<int>(file.size())) == 0;
    if (ok) {
        std::memcpy(packet->data, file.data(), file.size());
        ok = avcodec_send_packet(context, packet) == 0 && avcodec_receive_frame(context, frame) == 0 &&
             frame->format == AV_PIX_FMT_RGB24;
    }
    if (ok) {
        width = frame->width;
        height = frame->height;
        rgb.clear();
        for (int y = 0; y < height; ++y)
            rgb.insert(rgb.end(), frame->data[0] + y * frame->linesize[0],
                       frame->data[0] + y * frame->linesize[0] + 3 * width);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return ok;
}

// ---- Named objects and the error record -------------------------------------

std::unique_ptr<platform::SharedRegion> mapRegion(int index) {
    return platform::SharedRegion::openExisting(driver::kRegionNames[index], driver::region::kSize);
}

std::optional<std::vector<std::int16_t>> readWav(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> f(std::istreambuf_iterator<char>(in), {});
    if (f.size() < 44 || std::string(f.begin(), f.begin() + 4) != "RIFF" || readLe32(&f[4]) != f.size() - 8 ||
        readLe16(&f[22]) != 1 || readLe32(&f[24]) != 48'000 || readLe16(&f[34]) != 16 ||
        readLe32(&f[40]) != f.size() - 44)
        return std::nullopt;
    std::vector<std::int16_t> samples((f.size() - 44) / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(readLe16(&f[44 + 2 * i]));
    return samples;
}

double toneHz(const std::vector<std::int16_t>& samples, std::size_t from, std::size_t count) {
    constexpr double kSampleRate = 48'000.0;
    int crossings = 0;
    for (std::size_t i = from + 1; i < from + count && i < samples.size(); ++i)
        if (samples[i - 1] < 0 && samples[i] >= 0) ++crossings;
    return crossings * kSampleRate / static_cast<double>(count);
}

void clearErrorRecord() {
    if (auto key = platform::RegistryKey::open(false)) key->deleteValue(kErrorRecordValue);
}

void unlinkOutputObjects() {
    for (int i = 0; i < driver::kCameraCount; ++i) {
        platform::NamedMutex::unlink(driver::kMutexNames[i]);
        platform::NamedEvent::unlink(driver::kEventNames[i]);
    }
}

}  // namespace tavin::test
