// The registry store on a temporary config directory, and the first-error
// record written, kept and uploaded through it.
#include "engine/error_record.h"

#include <dirent.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/byte_order.h"
#include "platform/registry_store.h"
#include "session/phone_transport.h"

using namespace tavin;
using platform::RegistryKey;

namespace {

// Captures what would go to the phone.
class RecordingTransport : public PhoneTransport {
public:
    bool send(const void* data, std::size_t length) override {
        auto* p = static_cast<const std::uint8_t*>(data);
        sent.emplace_back(p, p + length);
        return true;
    }
    void close() override {}
    void stop() override {}
    bool onReceiveThread() const override { return false; }
    std::vector<std::vector<std::uint8_t>> sent;
};

std::string fileContent(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

// Bytes the process has read so far, from /proc/self/io; -1 when unknown.
long long bytesReadSoFar() {
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value;
    while (io >> key >> value) {
        if (key == "rchar:") return value;
    }
    return -1;
}

// Every test gets a config directory of its own, set before any use.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/error_record_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
        keyDir_ = root_ + "/Tavin/webcam";
    }
    void TearDown() override {
        nftw(root_.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
    std::unique_ptr<RegistryKey> key() {
        auto k = RegistryKey::open(true);
        EXPECT_NE(k, nullptr);
        return k;
    }
    std::string root_, keyDir_;
};

std::string textField(const std::vector<std::uint8_t>& m) {
    return std::string(reinterpret_cast<const char*>(m.data() + 12));
}

}  // namespace

TEST_F(RegistryTest, KeyDirectoryIsMadeOnlyWhenAskedFor) {
    EXPECT_EQ(RegistryKey::keyDirectory(), keyDir_);
    EXPECT_EQ(RegistryKey::open(false), nullptr);
    ASSERT_NE(RegistryKey::open(true), nullptr);
    struct stat st {};
    ASSERT_EQ(stat(keyDir_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_NE(RegistryKey::open(false), nullptr);

    // Without XDG_CONFIG_HOME the key lives under $HOME/.config.
    std::string home = getenv("HOME") ? getenv("HOME") : "";
    setenv("XDG_CONFIG_HOME", "", 1);
    setenv("HOME", root_.c_str(), 1);
    EXPECT_EQ(RegistryKey::keyDirectory(), root_ + "/.config/Tavin/webcam");
    setenv("HOME", home.c_str(), 1);
}

TEST_F(RegistryTest, ReadStringCodes) {
    auto k = key();
    char buf[8] = "garbage";
    EXPECT_EQ(k->readString("erd", buf, sizeof buf), platform::kRegNotFound);
    EXPECT_EQ(buf[0], '\0');

    ASSERT_EQ(k->writeString("erd", "1234567"), platform::kRegOk);
    EXPECT_EQ(fileContent(keyDir_ + "/erd"), "REG_SZ\n1234567");
    EXPECT_EQ(k->readString("erd", buf, sizeof buf), platform::kRegOk);
    EXPECT_STREQ(buf, "1234567");

    ASSERT_EQ(k->writeString("erd", "12345678"), platform::kRegOk);  // no room for the NUL
    EXPECT_EQ(k->readString("erd", buf, sizeof buf), platform::kRegMoreData);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(k->readString("erd", buf, 0), platform::kRegMoreData);

    ASSERT_EQ(k->writeRaw("erd", "REG_DWORD", std::string("\x05\x00\x00\x00", 4)), platform::kRegOk);
    EXPECT_EQ(k->readString("erd", buf, sizeof buf), platform::kRegUnsupportedType);

    // A file without a type line within its bound is no string either.
    std::ofstream(keyDir_ + "/erd", std::ios::binary) << std::string(1000, 'R');
    EXPECT_EQ(k->readString("erd", buf, sizeof buf), platform::kRegUnsupportedType);

    EXPECT_EQ(k->deleteValue("erd"), platform::kRegOk);
    EXPECT_EQ(k->deleteValue("erd"), platform::kRegNotFound);
    EXPECT_EQ(k->readString("erd", buf, sizeof buf), platform::kRegNotFound);

    // Names that would leave the key's directory are refused.
    EXPECT_NE(k->writeString("../escape", "x"), platform::kRegOk);
    EXPECT_NE(k->writeString("a/b", "x"), platform::kRegOk);
    EXPECT_NE(k->writeString("", "x"), platform::kRegOk);
    EXPECT_EQ(k->readString("..", buf, sizeof buf), platform::kRegNotFound);
    EXPECT_TRUE(entries(keyDir_).empty());
    EXPECT_EQ(entries(root_ + "/Tavin").size(), 1u);
}

TEST_F(RegistryTest, HugeValueIsNotReadWhole) {
    auto k = key();
    ASSERT_EQ(k->writeString("erd", std::string(8'000'000, 'm')), platform::kRegOk);
    char buf[256];
    long long before = bytesReadSoFar();
    EXPECT_EQ(k->readString("erd", buf, sizeof buf), platform::kRegMoreData);
    long long after = bytesReadSoFar();
    if (before < 0 || after < 0) GTEST_SKIP() << "no /proc/self/io to count the bytes read";
    EXPECT_LT(after - before, 64 * 1024);
}

TEST_F(RegistryTest, ReplaceIsAtomicAndLeavesNoTemporaryFile) {
    auto k = key();
    const std::string a(100, 'A'), b(3000, 'B');
    ASSERT_EQ(k->writeString("erd", a), platform::kRegOk);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 300; ++i) k->writeString("erd", i % 2 ? a : b);
        done = true;
    });
    std::vector<char> buf(4096);
    int reads = 0, torn = 0;
    while (!done || reads == 0) {
        ++reads;
        if (k->readString("erd", buf.data(), buf.size()) != platform::kRegOk) {
            ++torn;
            continue;
        }
        std::string got(buf.data());
        if (got != a && got != b) ++torn;
    }
    writer.join();
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_EQ(entries(keyDir_), std::vector<std::string>{"erd"});
}

TEST_F(RegistryTest, FirstErrorIsKept) {
    recordError(errors::kAddressChangeRequest);
    recordError(errors::kSocketCreate);
    EXPECT_EQ(readErrorRecord(), "we:qc:75");
}

TEST_F(RegistryTest, NegativeAndExtremeCodes) {
    recordError("x", -5);
    EXPECT_EQ(readErrorRecord(), "we:x:-5");
    key()->deleteValue(kErrorRecordValue);
    recordError("x", INT32_MIN);
    EXPECT_EQ(readErrorRecord(), "we:x:-2147483648");
}

TEST_F(RegistryTest, UploadSendsOnceThenNothing) {
    RecordingTransport t;
    uploadErrorRecord(t);  // no key at all
    EXPECT_TRUE(t.sent.empty());
    EXPECT_TRUE(entries(root_).empty()) << "the upload must not create the key";

    recordError(errors::kAddressChangeRequest);
    uploadErrorRecord(t);
    ASSERT_EQ(t.sent.size(), 1u);
    const auto& m = t.sent[0];
    ASSERT_EQ(m.size(), 268u);
    EXPECT_EQ(readLe32(m.data()), 0x0c00010cu);
    EXPECT_EQ(readLe32(m.data() + 4), 12u);
    EXPECT_EQ(readLe32(m.data() + 8), 15u);
    EXPECT_EQ(textField(m), "we:qc:75");
    for (std::size_t i = 12 + 8; i < 268; ++i) ASSERT_EQ(m[i], 0) << i;

    uploadErrorRecord(t);
    EXPECT_EQ(t.sent.size(), 1u);
    EXPECT_EQ(readErrorRecord(), "");

    // After the upload a new failure is recorded again.
    recordError(errors::kSocketCreate);
    EXPECT_EQ(readErrorRecord(), "we:so:104");
}

TEST_F(RegistryTest, ValueOfAnotherTypeIsKeptThenUploadedEmpty) {
    auto k = key();
    ASSERT_EQ(k->writeRaw(kErrorRecordValue, "REG_DWORD", std::string("\x07\x00\x00\x00", 4)), platform::kRegOk);
    recordError(errors::kSocketCreate);
    EXPECT_EQ(fileContent(keyDir_ + "/erd"), std::string("REG_DWORD\n\x07\x00\x00\x00", 14));

    RecordingTransport t;
    uploadErrorRecord(t);
    ASSERT_EQ(t.sent.size(), 1u);
    EXPECT_EQ(readLe32(t.sent[0].data()), 0x0c00010cu);
    for (std::size_t i = 12; i < 268; ++i) ASSERT_EQ(t.sent[0][i], 0) << i;
    char buf[16];
    EXPECT_EQ(k->readString(kErrorRecordValue, buf, sizeof buf), platform::kRegNotFound);
}

TEST_F(RegistryTest, OverlongStoredStringIsReplacedOrDroppedUnsent) {
    auto k = key();
    ASSERT_EQ(k->writeString(kErrorRecordValue, std::string(300, 'o')), platform::kRegOk);
    RecordingTransport t;
    uploadErrorRecord(t);
    EXPECT_TRUE(t.sent.empty());
    char buf[16];
    EXPECT_EQ(k->readString(kErrorRecordValue, buf, sizeof buf), platform::kRegNotFound);

    ASSERT_EQ(k->writeString(kErrorRecordValue, std::string(300, 'o')), platform::kRegOk);
    recordError(errors::kSendTookNothing);
    EXPECT_EQ(readErrorRecord(), "we:so:159");
}

TEST_F(RegistryTest, LongTagIsCutSoTheRecordStillUploadsWithItsCode) {
    recordError(std::string(400, 't'), 211);
    std::string record = readErrorRecord();
    ASSERT_EQ(record.size(), 254u);
    EXPECT_EQ(record.substr(0, 4), "we:t");
    EXPECT_EQ(record.substr(record.size() - 4), ":211");

    RecordingTransport t;
    uploadErrorRecord(t);
    ASSERT_EQ(t.sent.size(), 1u);
    EXPECT_EQ(textField(t.sent[0]), record);

    // A tag ends at a NUL, as a C string would.
    recordError(std::string_view("so\0junk", 7), 1);
    EXPECT_EQ(readErrorRecord(), "we:so:1");
}

TEST_F(RegistryTest, RecordingWithoutAKeyIsSilent) {
    std::ofstream(root_ + "/Tavin") << "a file where the key's parent should be";
    recordError(errors::kSocketCreate);
    EXPECT_EQ(RegistryKey::open(true), nullptr);
    EXPECT_EQ(readErrorRecord(), "");
    unsetenv("XDG_CONFIG_HOME");
    std::string home = getenv("HOME") ? getenv("HOME") : "";
    unsetenv("HOME");
    EXPECT_EQ(RegistryKey::open(true), nullptr);
    recordError(errors::kSocketCreate);
    setenv("HOME", home.c_str(), 1);
}

TEST_F(RegistryTest, ConcurrentRecordsLeaveOneWholeRecord) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([i] {
            for (int j = 0; j < 20; ++j) recordError("t" + std::to_string(i), 100 + i);
        });
    }
    for (auto& th : threads) th.join();
    std::string record = readErrorRecord();
    EXPECT_TRUE(record == "we:t0:100" || record == "we:t1:101" || record == "we:t2:102" || record == "we:t3:103")
        << record;
    EXPECT_EQ(entries(keyDir_), std::vector<std::string>{"erd"});
}

TEST(ErrorTags, CaseNumbersInTags) {
    EXPECT_EQ(errors::deviceOpenTag(1, 2, -3), "s.C1E2D-3");
    EXPECT_EQ(errors::packetRingTag(7'000'001, 12), "sd.L7000001.F12");
    EXPECT_EQ(errors::headerTooLongTag(4'000'001, 8, 16, 4, 280, 1), "so.4000001.8-L16-i4.280.1");
    EXPECT_EQ(errors::dottedTag("so", 2, 8), "so.2.8");
    EXPECT_EQ(errors::dottedTag("mc", -5), "mc.-5");
    EXPECT_EQ(errors::dottedTag("so", 104), "so.104");
}
