// The driver substitute, started as a real process and checked from outside
// as the engine would see it: shared-memory objects in /dev/shm, .device
// files read by the engine's own enumerator, device requests through the
// engine's own device handle, and pictures written into the region's slots.

#include <fcntl.h>
#include <sys/mman.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "output/driver_layout.h"
#include "platform/byte_order.h"
#include "platform/device_channel.h"
#include "platform/named_objects.h"
#include "support/child_process.h"
#include "support/output_support.h"

namespace tavin {
namespace {

namespace region = driver::region;
namespace slot = driver::slot;
using namespace std::chrono_literals;

std::string shmPath(const char* windowsName) { return "/dev/shm" + platform::sharedObjectName(windowsName); }

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// One vcam process with its device directory.
class Vcam {
public:
    explicit Vcam(std::vector<std::string> args) {
        std::vector<std::string> argv{test::toolPath("vcam"), "--stats-interval", "0"};
        argv.insert(argv.end(), args.begin(), args.end());
        child_ = std::make_unique<test::ChildProcess>(argv,
                                                      std::vector<std::string>{"TAVIN_DEVICE_DIR=" + devices()});
    }
    test::ChildProcess& child() { return *child_; }
    std::string devices() const { return dir_.path() + "/devices"; }
    std::string file(const std::string& name) const { return dir_.path() + "/" + name; }
    bool ready() { return child_->waitForLine("vcam: ready").has_value(); }
    // Sends a command and waits for its acknowledgement (or an error line).
    bool command(const std::string& line, const std::string& ack) {
        child_->writeLine(line);
        return child_->waitForLine(ack).has_value();
    }
    int stop() { return child_->stop(10s); }

    // Device paths by friendly name, as the engine's enumerator finds them.
    std::map<std::string, std::string> enumerate() {
        ::setenv("TAVIN_DEVICE_DIR", devices().c_str(), 1);
        std::vector<platform::CaptureDevice> found;
        std::map<std::string, std::string> byName;
        if (platform::enumerateCaptureDevices(found) != platform::kEnumOk) return byName;
        for (const auto& d : found) byName[d.friendlyName] = d.devicePath;
        return byName;
    }

private:
    test::TempDir dir_;
    std::unique_ptr<test::ChildProcess> child_;
};

// The engine's view of one region, mapped from /dev/shm.
class Mapping {
public:
    explicit Mapping(int camera) {
        const int fd = ::open(shmPath(driver::kRegionNames[camera]).c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return;
        void* p = ::mmap(nullptr, region::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        if (p != MAP_FAILED) data_ = static_cast<std::uint8_t*>(p);
    }
    ~Mapping() {
        if (data_) ::munmap(data_, region::kSize);
    }
    std::uint8_t* data() const { return data_; }

    std::atomic_ref<std::uint32_t> ready(int s) const {
        return std::atomic_ref<std::uint32_t>(
            *reinterpret_cast<std::uint32_t*>(data_ + region::slotOffset(s) + slot::kReady));
    }
    // Fills a slot as the engine does: pixels, byte count, time stamp, then
    // the ready flag.
    void put(int s, const std::vector<std::uint8_t>& pixels, std::int32_t count, float stamp) {
        std::uint8_t* base = data_ + region::slotOffset(s);
        std::memcpy(base, pixels.data(), pixels.size());
        writeLeI32(base + slot::kByteCount, count);
        writeLeF32(base + slot::kTimeStamp, stamp);
        ready(s).store(1, std::memory_order_release);
    }
    // Waits (bounded) until the driver side took the slot's picture.
    bool taken(int s) const {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (ready(s).load(std::memory_order_acquire) != 0) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

private:
    std::uint8_t* data_ = nullptr;
};

struct Exchange {
    bool ok = false;
    std::vector<std::uint8_t> output;
};

Exchange request(platform::DeviceHandle& device, std::uint32_t code, const std::vector<std::uint8_t>& input,
                 std::uint32_t capacity) {
    Exchange e;
    e.output.assign(capacity, 0);
    std::uint32_t returned = 0;
    e.ok = device.request(code, input.data(), static_cast<std::uint32_t>(input.size()), e.output.data(), capacity,
                          &returned, 5000);
    e.output.resize(e.ok ? returned : 0);
    return e;
}

std::vector<std::uint8_t> words(std::initializer_list<std::uint32_t> values, std::size_t size = 0) {
    std::vector<std::uint8_t> bytes(std::max(size, values.size() * 4), 0);
    std::size_t at = 0;
    for (std::uint32_t v : values) writeLe32(bytes.data() + 4 * at++, v);
    return bytes;
}

std::uint32_t word(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return offset + 4 <= bytes.size() ? readLe32(bytes.data() + offset) : 0xDEADBEEF;
}

// Runs vcam to its end (bounded: killed after 10 s) and returns its exit
// status, -1 when it did not exit by itself.
int runToExit(const std::vector<std::string>& args) {
    std::vector<std::string> argv{test::toolPath("vcam")};
    argv.insert(argv.end(), args.begin(), args.end());
    // Everything the child needs is made before fork().
    std::vector<char*> raw;
    for (const std::string& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
    raw.push_back(nullptr);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execv(raw[0], raw.data());
        ::_exit(127);
    }
    ::close(null);
    if (pid < 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(5ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::unique_ptr<platform::DeviceHandle> openDevice(const std::string& path) {
    int error = 0;
    return platform::DeviceHandle::open(path, &error);
}

TEST(Vcam, CreatesEveryObjectAndRemovesItOnTerminate) {
    Vcam vcam({"--consumer", "--format", "1280x720@30:1", "--formatlist"});
    ASSERT_TRUE(vcam.ready());

    for (int i = 0; i < driver::kCameraCount; ++i) {
        SCOPED_TRACE(i);
        struct stat st {};
        ASSERT_EQ(::stat(shmPath(driver::kRegionNames[i]).c_str(), &st), 0);
        EXPECT_EQ(static_cast<std::size_t>(st.st_size), region::kSize);
        EXPECT_EQ(st.st_mode & 0777, 0666u);
        EXPECT_TRUE(exists(shmPath(driver::kMutexNames[i])));
        EXPECT_TRUE(exists(shmPath(driver::kEventNames[i])));

        Mapping map(i);
        ASSERT_NE(map.data(), nullptr);
        const std::uint8_t* d = map.data();
        EXPECT_EQ(readLe32(d + region::kLayoutVersion), 6u);
        EXPECT_EQ(d[region::kConsumerState], region::kConsumerReading);
        EXPECT_EQ(readLeI32(d + region::kRequestWidth), 1280);
        EXPECT_EQ(readLeI32(d + region::kRequestHeight), 720);
        EXPECT_EQ(readLeF32(d + region::kRequestFps), 30.0f);
        EXPECT_EQ(readLeI32(d + region::kRequestKind), driver::kYuy2);
        EXPECT_NE(readLe32(d + region::kFormatListFlag), 0u);
        EXPECT_EQ(d[region::kAttached], 0);
        EXPECT_EQ(map.ready(0).load(), 0u);
        EXPECT_EQ(map.ready(1).load(), 0u);
    }

    // The engine's enumerator finds all eight devices, each at a socket.
    const auto devices = vcam.enumerate();
    EXPECT_EQ(devices.size(), 8u);
    std::vector<std::string> sockets;
    for (int i = 0; i < driver::kCameraCount; ++i) {
        for (const char* name : {driver::kCameraNames[i], driver::kAudioNames[i]}) {
            SCOPED_TRACE(name);
            auto it = devices.find(name);
            ASSERT_NE(it, devices.end());
            struct stat st {};
            ASSERT_EQ(::stat(it->second.c_str(), &st), 0);
            EXPECT_TRUE(S_ISSOCK(st.st_mode));
            sockets.push_back(it->second);
        }
    }
    // A device file holds exactly the two lines.
    const auto text = readFile(vcam.devices() + "/vcam-camera0.device");
    EXPECT_EQ(std::string(text.begin(), text.end()),
              "FriendlyName=Tavin Webcam\nDevicePath=" + devices.at("Tavin Webcam") + "\n");

    EXPECT_EQ(vcam.stop(), 0);
    for (int i = 0; i < driver::kCameraCount; ++i) {
        EXPECT_FALSE(exists(shmPath(driver::kRegionNames[i])));
        EXPECT_FALSE(exists(shmPath(driver::kMutexNames[i])));
        EXPECT_FALSE(exists(shmPath(driver::kEventNames[i])));
    }
    for (const std::string& s : sockets) EXPECT_FALSE(exists(s)) << s;
    EXPECT_EQ(vcam.enumerate().size(), 0u);
}

TEST(Vcam, TakesRegionPicturesAndRecordsThem) {
    test::TempDir out;
    const std::string y4m = out.path() + "/camera0.y4m";
    Vcam vcam({"--cameras", "0", "--consumer", "--format", "64x48@30:2", "--y4m", y4m});
    ASSERT_TRUE(vcam.ready());
    EXPECT_FALSE(exists(shmPath(driver::kRegionNames[1])));
    Mapping map(0);
    ASSERT_NE(map.data(), nullptr);

    // The engine attaching and letting go.
    map.data()[region::kAttached] = 1;
    EXPECT_TRUE(vcam.child().waitForLine("vcam: camera 0 attached (region)"));

    // Two I420 pictures, one per slot; the first is recorded unchanged
    // (same size and format). The engine sets the event after a picture;
    // the consumer side resets it once it took the picture.
    auto event = platform::NamedEvent::open(driver::kEventNames[0]);
    ASSERT_TRUE(event);
    event->set();
    const std::size_t size = driver::pictureBytes(driver::kI420, 64, 48);
    std::vector<std::uint8_t> first(size), second(size, 0x80);
    for (std::size_t i = 0; i < size; ++i) first[i] = static_cast<std::uint8_t>(i * 7 + i / 64);
    map.put(0, first, static_cast<std::int32_t>(size), 1.0f);
    ASSERT_TRUE(map.taken(0));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (event->isSet() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(event->isSet());
    map.put(1, second, static_cast<std::int32_t>(size), 2.0f);
    ASSERT_TRUE(map.taken(1));
    EXPECT_TRUE(vcam.child().waitForLine("vcam: camera 0 picture 64x48 kind 2"));

    // Byte counts that do not match the format are taken but not kept,
    // including ones beyond the pixel area and negative ones.
    for (std::int32_t bad : {100, static_cast<std::int32_t>(size) + 1, 0x7FFFFFFF, -5}) {
        map.put(0, {}, bad, 3.0f);
        ASSERT_TRUE(map.taken(0)) << bad;
    }
    ASSERT_TRUE(vcam.command("stats", "vcam: stats camera 0"));
    EXPECT_TRUE(vcam.child().waitForLine("stats camera 0 frames 2 mismatched 4"));

    // A snapshot of a bottom-up BGR picture comes out top-down in RGB.
    ASSERT_TRUE(vcam.command("format 0 2x-2@30:0", "vcam: camera 0 format 2x-2@30:0"));
    EXPECT_EQ(readLeI32(map.data() + region::kRequestHeight), -2);
    const std::string png = out.path() + "/snap.png";
    ASSERT_TRUE(vcam.command("snapshot 0 " + png, "snapshot pending"));
    // Rows in memory: bottom row first.
    const std::vector<std::uint8_t> bgr = {1, 2, 3, 4, 5, 6, /* top row: */ 7, 8, 9, 10, 11, 12};
    map.put(1, bgr, 12, 4.0f);
    ASSERT_TRUE(map.taken(1));
    ASSERT_TRUE(vcam.child().waitForLine("vcam: camera 0 snapshot " + png + " 2x2"));
    int w = 0, h = 0;
    std::vector<std::uint8_t> rgb;
    ASSERT_TRUE(test::decodePng(readFile(png), w, h, rgb));
    EXPECT_EQ(w, 2);
    EXPECT_EQ(h, 2);
    EXPECT_EQ(rgb, (std::vector<std::uint8_t>{9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4}));

    // A larger ARGB picture: the PNG data spans several stored blocks.
    ASSERT_TRUE(vcam.command("format 0 300x200@30:3", "vcam: camera 0 format 300x200@30:3"));
    const std::string big = out.path() + "/big.png";
    ASSERT_TRUE(vcam.command("snapshot 0 " + big, "snapshot pending " + big));
    std::vector<std::uint8_t> argb(300 * 200 * 4), expected;
    for (std::size_t p = 0; p < 300 * 200; ++p) {
        const std::uint8_t r = static_cast<std::uint8_t>(p), g = static_cast<std::uint8_t>(p / 300),
                           b = static_cast<std::uint8_t>(p * 13);
        argb[4 * p] = 0xFF;
        argb[4 * p + 1] = r;
        argb[4 * p + 2] = g;
        argb[4 * p + 3] = b;
        expected.insert(expected.end(), {r, g, b});
    }
    map.put(0, argb, static_cast<std::int32_t>(argb.size()), 5.0f);
    ASSERT_TRUE(map.taken(0));
    ASSERT_TRUE(vcam.child().waitForLine("vcam: camera 0 snapshot " + big + " 300x200"));
    ASSERT_TRUE(test::decodePng(readFile(big), w, h, rgb));
    EXPECT_EQ(w, 300);
    EXPECT_EQ(h, 200);
    EXPECT_TRUE(rgb == expected);

    map.data()[region::kAttached] = 0;
    EXPECT_TRUE(vcam.child().waitForLine("vcam: camera 0 detached (region)"));
    EXPECT_EQ(vcam.stop(), 0);

    // One stream of four frames at the first picture's size: the later
    // pictures of other sizes were scaled to it.
    const auto stream = readFile(y4m);
    const std::string header = "YUV4MPEG2 W64 H48 F30000:1000 Ip A1:1 C420jpeg\n";
    const std::size_t frame = 6 + size;
    ASSERT_EQ(stream.size(), header.size() + 4 * frame);
    EXPECT_EQ(std::string(stream.begin(), stream.begin() + static_cast<long>(header.size())), header);
    const auto* f0 = stream.data() + header.size();
    EXPECT_EQ(std::memcmp(f0, "FRAME\n", 6), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(f0 + 6, f0 + frame), first);
    EXPECT_EQ(std::vector<std::uint8_t>(f0 + frame + 6, f0 + 2 * frame), second);
}

TEST(Vcam, CommandsChangeTheConsumerAndFormatListsAreRecorded) {
    test::TempDir out;
    const std::string fifo = out.path() + "/control";
    Vcam vcam({"--cameras", "0", "--commands", fifo});
    ASSERT_TRUE(vcam.ready());
    Mapping map(0);
    ASSERT_NE(map.data(), nullptr);
    std::uint8_t* d = map.data();
    // Without --format there is no request; without --consumer nobody reads.
    EXPECT_EQ(readLeI32(d + region::kRequestWidth), 0);
    EXPECT_EQ(d[region::kConsumerState], 0);

    const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    auto send = [&](const std::string& line, const std::string& ack) {
        const std::string data = line + "\n";
        EXPECT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        return vcam.child().waitForLine(ack).has_value();
    };
    ASSERT_TRUE(send("consumer 0 on", "camera 0 consumer on"));
    EXPECT_EQ(d[region::kConsumerState], region::kConsumerReading);
    ASSERT_TRUE(send("format 0 640x480@15:3", "camera 0 format 640x480@15:3"));
    EXPECT_EQ(readLeI32(d + region::kRequestWidth), 640);
    EXPECT_EQ(readLeI32(d + region::kRequestHeight), 480);
    EXPECT_EQ(readLeF32(d + region::kRequestFps), 15.0f);
    EXPECT_EQ(readLeI32(d + region::kRequestKind), driver::kArgb);
    ASSERT_TRUE(send("control 0 A -5", "camera 0 control A -5"));
    EXPECT_EQ(readLeI32(d + region::kControlValueA), -5);
    ASSERT_TRUE(send("control 0 B 7", "camera 0 control B 7"));
    EXPECT_EQ(readLe32(d + region::kControlFlagB), 7u);
    ASSERT_TRUE(send("formatlist 0 on", "camera 0 formatlist on"));
    EXPECT_EQ(readLe32(d + region::kFormatListFlag), 1u);
    ASSERT_TRUE(send("consumer 0 off", "camera 0 consumer off"));
    EXPECT_EQ(d[region::kConsumerState], 0);

    // Requests the engine must refuse can still be written on purpose...
    ASSERT_TRUE(send("request 0 99999 5 0 9", "camera 0 request 99999 5 0 9"));
    EXPECT_EQ(readLeI32(d + region::kRequestWidth), 99999);
    EXPECT_EQ(readLeI32(d + region::kRequestKind), 9);
    // ...but a format command checks its values, and bad lines change nothing.
    ASSERT_TRUE(send("format 0 5000x5000@30:0", "error: format 0 5000x5000@30:0"));
    ASSERT_TRUE(send("format 0 641x480@30:2", "error: format 0 641x480@30:2"));
    ASSERT_TRUE(send("consumer 3 on", "error: consumer 3 on: camera 3 does not exist"));
    ASSERT_TRUE(send("control 0 A 99999999999", "error: control 0 A 99999999999"));
    ASSERT_TRUE(send(std::string(5000, 'x'), "error: command line longer than 1024 bytes dropped"));
    ASSERT_TRUE(send("format 0 none", "camera 0 format none"));
    EXPECT_EQ(readLeI32(d + region::kRequestWidth), 0);

    // The format list the engine writes under the mutex is reported.
    auto mutex = platform::NamedMutex::open(driver::kMutexNames[0]);
    ASSERT_TRUE(mutex);
    auto writeList = [&](std::uint32_t count, std::initializer_list<std::uint32_t> entries) {
        ASSERT_TRUE(platform::holds(mutex->lock(1000)));
        writeLe32(d + region::kFormatCount, count);
        std::size_t at = 0;
        for (std::uint32_t v : entries) writeLe32(d + region::kFormatEntries + 4 * at++, v);
        mutex->unlock();
    };
    writeList(2, {720, 1280, 30000, 0, 720, 1280, 60060, 0});
    EXPECT_TRUE(vcam.child().waitForLine("vcam: camera 0 formats 2: 720x1280@30000/0 720x1280@60060/0"));
    // A count beyond the room in the region is bounded to the 31 entries there.
    writeList(1000, {});
    EXPECT_TRUE(vcam.child().waitForLine("vcam: camera 0 formats 31 (count 1000 bounded):"));
    writeList(0, {});
    EXPECT_TRUE(vcam.child().waitForLine("vcam: camera 0 formats 0"));

    ASSERT_TRUE(send("quit", "quit, stopping"));
    ::close(fd);
    EXPECT_EQ(vcam.stop(), 0);
    EXPECT_FALSE(exists(fifo));  // created by vcam, removed by it
    EXPECT_FALSE(exists(shmPath(driver::kRegionNames[0])));
}

TEST(Vcam, DeviceInterfaceAnswersCameraRequests) {
    test::TempDir out;
    const std::string y4m = out.path() + "/camera1.y4m";
    Vcam vcam({"--device", "--cameras", "0,1", "--consumer", "--format", "32x16@60:1", "--y4m", "1:" + y4m});
    ASSERT_TRUE(vcam.ready());
    EXPECT_FALSE(exists(shmPath(driver::kRegionNames[0])));
    EXPECT_FALSE(exists(shmPath(driver::kRegionNames[1])));
    const auto devices = vcam.enumerate();
    ASSERT_EQ(devices.count("Tavin Webcam #2"), 1u);
    auto camera = openDevice(devices.at("Tavin Webcam #2"));
    ASSERT_TRUE(camera);

    EXPECT_TRUE(request(*camera, driver::kIoAttach, words({100, 1}), 0).ok);
    EXPECT_TRUE(vcam.child().waitForLine("vcam: camera 1 attached (device)"));
    // Requests naming another index or interface are refused.
    EXPECT_FALSE(request(*camera, driver::kIoQuery, words({100, 0}), 32).ok);
    EXPECT_FALSE(request(*camera, driver::kIoQuery, words({1, 1}), 32).ok);
    EXPECT_FALSE(request(*camera, driver::kIoQuery, words({100}), 32).ok);

    namespace q = driver::query_reply;
    Exchange query = request(*camera, driver::kIoQuery, words({100, 1}, driver::kQueryOpenInput), 32);
    ASSERT_TRUE(query.ok);
    ASSERT_EQ(query.output.size(), q::kSize);
    EXPECT_EQ(word(query.output, q::kVersion), 100u);
    EXPECT_EQ(word(query.output, q::kWidth), 32u);
    EXPECT_EQ(word(query.output, q::kHeight), 16u);
    EXPECT_EQ(word(query.output, q::kStreaming), 1u);
    EXPECT_EQ(word(query.output, q::kKindFlag), 1u);
    EXPECT_EQ(word(query.output, q::kInterval), 166'667u);

    ASSERT_TRUE(vcam.command("control 1 A 9", "camera 1 control A 9"));
    ASSERT_TRUE(vcam.command("control 1 B 1", "camera 1 control B 1"));
    namespace w = driver::write_reply;
    const std::vector<std::uint8_t> picture(driver::pictureBytes(driver::kYuy2, 32, 16), 0x80);
    const std::uint32_t writeCode = driver::kIoWriteBase + 4 * 1;
    Exchange reply = request(*camera, writeCode, picture, 28);
    ASSERT_TRUE(reply.ok);
    ASSERT_EQ(reply.output.size(), w::kSize);
    EXPECT_EQ(word(reply.output, w::kWidth), 32u);
    EXPECT_EQ(word(reply.output, w::kHeight), 16u);
    EXPECT_EQ(word(reply.output, w::kStreaming), 1u);
    EXPECT_EQ(word(reply.output, w::kKindFlag), 1u);
    EXPECT_EQ(word(reply.output, w::kInterval), 166'667u);
    EXPECT_EQ(word(reply.output, w::kControlA), 9u);
    EXPECT_EQ(word(reply.output, w::kControlB), 1u);
    EXPECT_TRUE(vcam.child().waitForLine("vcam: camera 1 picture 32x16 kind 1"));

    // A picture of the wrong size is answered but not kept; the base write
    // code belongs to the legacy interface and other codes to nobody.
    EXPECT_TRUE(request(*camera, writeCode, std::vector<std::uint8_t>(100), 28).ok);
    EXPECT_FALSE(request(*camera, driver::kIoWriteBase, picture, 28).ok);
    EXPECT_FALSE(request(*camera, 0x222100, {}, 0).ok);

    // The consumer going away and a new format show in both replies.
    ASSERT_TRUE(vcam.command("consumer 1 off", "camera 1 consumer off"));
    ASSERT_TRUE(vcam.command("format 1 64x32@30:0", "camera 1 format 64x32@30:0"));
    query = request(*camera, driver::kIoQuery, words({100, 1}), 32);
    EXPECT_EQ(word(query.output, q::kStreaming), 0u);
    EXPECT_EQ(word(query.output, q::kWidth), 64u);
    EXPECT_EQ(word(query.output, q::kKindFlag), 0u);
    EXPECT_EQ(word(query.output, q::kInterval), 333'333u);
    reply = request(*camera, writeCode, std::vector<std::uint8_t>(64 * 32 * 3, 0x10), 28);
    EXPECT_EQ(word(reply.output, w::kStreaming), 0u);
    EXPECT_EQ(word(reply.output, w::kHeight), 32u);
    // Region-only pixel kinds cannot be asked for over device requests.
    ASSERT_TRUE(vcam.command("format 1 64x32@30:2", "error: format 1 64x32@30:2"));

    ASSERT_TRUE(vcam.command("stats", "vcam: stats camera 1"));
    EXPECT_TRUE(vcam.child().waitForLine("stats camera 1 frames 2 mismatched 1"));
    EXPECT_TRUE(request(*camera, driver::kIoDetach, words({100, 1}), 0).ok);
    EXPECT_TRUE(vcam.child().waitForLine("vcam: camera 1 detached (device)"));
    camera.reset();
    EXPECT_EQ(vcam.stop(), 0);

    const auto stream = readFile(y4m);
    const std::string header = "YUV4MPEG2 W32 H16 F60000:1000 Ip A1:1 C420jpeg\n";
    EXPECT_EQ(stream.size(), header.size() + 2 * (6 + 32 * 16 * 3 / 2));
}

TEST(Vcam, WithoutARequestDeviceRepliesStateTheEngineDefault) {
    Vcam vcam({"--legacy", "--cameras", "0"});
    ASSERT_TRUE(vcam.ready());
    auto camera = openDevice(vcam.enumerate().at("Tavin Webcam"));
    ASSERT_TRUE(camera);
    Exchange query = request(*camera, driver::kIoQuery, words({100, 0}), 32);
    ASSERT_TRUE(query.ok);
    EXPECT_EQ(word(query.output, driver::query_reply::kVersion), 2u);
    EXPECT_EQ(word(query.output, driver::query_reply::kWidth), 0u);
    EXPECT_EQ(word(query.output, driver::query_reply::kHeight), 0u);
    // A legacy driver takes every picture on the base code; the engine then
    // writes 640 x 360 BGR bottom-up.
    Exchange reply = request(*camera, driver::kIoWriteBase, std::vector<std::uint8_t>(640 * 360 * 3), 28);
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(word(reply.output, driver::write_reply::kWidth), 640u);
    EXPECT_EQ(word(reply.output, driver::write_reply::kHeight), 360u);
    EXPECT_EQ(word(reply.output, driver::write_reply::kKindFlag), 0u);
    EXPECT_TRUE(vcam.child().waitForLine("vcam: camera 0 picture 640x-360 kind 0"));
    EXPECT_EQ(vcam.stop(), 0);
}

TEST(Vcam, AudioDeviceReportsItsFillLevel) {
    test::TempDir out;
    const std::string pcm = out.path() + "/audio0.pcm";
    const std::string wav = out.path() + "/audio0.wav";
    Vcam vcam({"--cameras", "0", "--audio-buffer", "4000", "--pcm", pcm, "--wav", "0:" + wav});
    ASSERT_TRUE(vcam.ready());
    auto audio = openDevice(vcam.enumerate().at("Tavin Webcam Audio"));
    ASSERT_TRUE(audio);

    EXPECT_FALSE(request(*audio, driver::kIoAttach, words({1, 2}), 0).ok);
    EXPECT_TRUE(request(*audio, driver::kIoAttach, words({1, 0}), 0).ok);
    EXPECT_TRUE(vcam.child().waitForLine("vcam: audio 0 attached"));
    Exchange status = request(*audio, driver::kIoQuery, words({0}), 4);
    ASSERT_TRUE(status.ok);
    EXPECT_EQ(status.output, words({1}));

    std::vector<std::uint8_t> samples(1920);
    for (std::size_t i = 0; i < samples.size(); i += 2) writeLe16(samples.data() + i, static_cast<std::uint16_t>(i));
    writeLe16(samples.data() + 10, static_cast<std::uint16_t>(-12000));
    // Into an empty buffer: the level is what was written.
    Exchange first = request(*audio, driver::kIoWriteBase, samples, 8);
    ASSERT_TRUE(first.ok);
    ASSERT_EQ(first.output.size(), driver::kAudioWriteReply);
    EXPECT_EQ(word(first.output, 0), 0u);
    EXPECT_EQ(word(first.output, 4), 1920u);
    // The level never exceeds what was written, nor the buffer.
    Exchange second = request(*audio, driver::kIoWriteBase, samples, 8);
    EXPECT_GE(word(second.output, 4), 1920u);
    EXPECT_LE(word(second.output, 4), 3840u);
    Exchange third = request(*audio, driver::kIoWriteBase, std::vector<std::uint8_t>(6000), 8);
    EXPECT_EQ(word(third.output, 4), 4000u);
    // Half a sample is refused.
    EXPECT_FALSE(request(*audio, driver::kIoWriteBase, std::vector<std::uint8_t>(3), 8).ok);
    // Detach carries no input.
    EXPECT_FALSE(request(*audio, driver::kIoDetach, words({1, 0}), 0).ok);
    EXPECT_TRUE(request(*audio, driver::kIoDetach, {}, 0).ok);
    EXPECT_TRUE(vcam.child().waitForLine("vcam: audio 0 detached"));

    ASSERT_TRUE(vcam.command("stats", "vcam: stats audio 0"));
    EXPECT_TRUE(vcam.child().waitForLine("stats audio 0 writes 3 bytes 9840"));
    EXPECT_TRUE(vcam.child().waitForLine("peak 12000"));
    audio.reset();
    EXPECT_EQ(vcam.stop(), 0);

    std::vector<std::uint8_t> expected = samples;
    expected.insert(expected.end(), samples.begin(), samples.end());
    expected.resize(expected.size() + 6000, 0);
    EXPECT_EQ(readFile(pcm), expected);

    // The WAV file got its sizes when vcam stopped on SIGTERM.
    std::vector<std::uint8_t> header = words({0x46464952, 36 + 9840, 0x45564157, 0x20746d66, 16, 0x00010001, 48000,
                                              96000, 0x00100002, 0x61746164, 9840});
    header.insert(header.end(), expected.begin(), expected.end());
    EXPECT_EQ(readFile(wav), header);
}

TEST(Vcam, RefusalModesShowInWhatTheEngineReads) {
    {
        // A camera interface the engine must refuse, and an audio device
        // that is not ready.
        Vcam vcam({"--device", "--cameras", "0", "--camera-version", "1", "--audio-status", "0"});
        ASSERT_TRUE(vcam.ready());
        const auto devices = vcam.enumerate();
        auto camera = openDevice(devices.at("Tavin Webcam"));
        auto audio = openDevice(devices.at("Tavin Webcam Audio"));
        ASSERT_TRUE(camera && audio);
        EXPECT_EQ(word(request(*camera, driver::kIoQuery, words({100, 0}), 32).output, 0), 1u);
        EXPECT_EQ(request(*audio, driver::kIoQuery, words({0}), 4).output, words({0}));
        EXPECT_EQ(vcam.stop(), 0);
    }
    {
        Vcam vcam({"--device", "--cameras", "2", "--camera-query-fails", "--audio-query-fails"});
        ASSERT_TRUE(vcam.ready());
        const auto devices = vcam.enumerate();
        auto camera = openDevice(devices.at("Tavin Webcam #3"));
        auto audio = openDevice(devices.at("Tavin Webcam Audio #3"));
        ASSERT_TRUE(camera && audio);
        EXPECT_FALSE(request(*camera, driver::kIoQuery, words({100, 2}), 32).ok);
        EXPECT_FALSE(request(*audio, driver::kIoQuery, words({0}), 4).ok);
        EXPECT_EQ(vcam.stop(), 0);
    }
    {
        // No audio device and no camera device file: only the region remains.
        Vcam vcam({"--cameras", "3", "--no-audio", "--no-camera-file"});
        ASSERT_TRUE(vcam.ready());
        EXPECT_TRUE(vcam.enumerate().empty());
        EXPECT_TRUE(exists(shmPath(driver::kRegionNames[3])));
        EXPECT_EQ(vcam.stop(), 0);
    }
    {
        // A region of another layout version, and one too short to use.
        Vcam vcam({"--cameras", "0", "--region-version", "5"});
        ASSERT_TRUE(vcam.ready());
        Mapping map(0);
        ASSERT_NE(map.data(), nullptr);
        EXPECT_EQ(readLe32(map.data() + region::kLayoutVersion), 5u);
        // The camera device still answers, for the engine to fall back to.
        auto camera = openDevice(vcam.enumerate().at("Tavin Webcam"));
        ASSERT_TRUE(camera);
        EXPECT_EQ(word(request(*camera, driver::kIoQuery, words({100, 0}), 32).output, 0), 100u);
        EXPECT_EQ(vcam.stop(), 0);
    }
    {
        Vcam vcam({"--cameras", "0", "--region-size", "4096"});
        ASSERT_TRUE(vcam.ready());
        struct stat st {};
        ASSERT_EQ(::stat(shmPath(driver::kRegionNames[0]).c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 4096);
        EXPECT_EQ(vcam.stop(), 0);
        EXPECT_FALSE(exists(shmPath(driver::kRegionNames[0])));
    }
}

TEST(Vcam, BadCommandLinesAndFailedStartsLeaveNothing) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--cameras", "4"},
             {"--format", "1280x720@30:7"},
             {"--cameras", "0", "--y4m", "1:/tmp/x.y4m"},
             {"--device", "--format", "64x32@30:2"},
             {"--stats-interval", "-1"},
             {"--bogus"}}) {
        EXPECT_EQ(runToExit(args), 2) << args[0] << " " << args[1 % args.size()];
    }
    // A socket path too long for a Unix socket fails the start after the
    // first region exists; everything made so far is removed again.
    test::TempDir out;
    const std::string deep = out.path() + "/" + std::string(100, 'd');
    EXPECT_EQ(runToExit({"--cameras", "0", "--socket-dir", deep, "--device-dir", out.path()}), 1);
    EXPECT_FALSE(exists(shmPath(driver::kRegionNames[0])));
    EXPECT_FALSE(exists(shmPath(driver::kMutexNames[0])));
    EXPECT_FALSE(exists(shmPath(driver::kEventNames[0])));
}

}  // namespace
}  // namespace tavin
