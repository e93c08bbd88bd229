#include "fuzz_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>

namespace tavin::fuzz {

void failed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

namespace {

struct Folder {
    std::string path;
    Folder() {
        const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/engine-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) failed("mkdtemp", __FILE__, __LINE__);
        path = pattern;
        setenv("XDG_CONFIG_HOME", (path + "/config").c_str(), 1);
        setenv("TAVIN_DEVICE_DIR", (path + "/devices").c_str(), 1);
    }
    ~Folder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

const std::string& privateFolder() {
    static Folder folder;
    return folder.path;
}

namespace {
// Made before any harness runs: no harness may reach the user's own
// registry home or device directory.
const std::string& gFolder = privateFolder();
}  // namespace

CheckingTransport::CheckingTransport(const PhoneId& id) { id_ = id; }

bool CheckingTransport::send(const void* data, std::size_t length) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    FUZZ_CHECK(length >= protocol::kMinMessage && length <= protocol::kMaxMessage);
    FUZZ_CHECK(protocol::headerLength(bytes) == length);
    std::memcpy(last_, bytes, std::min(length, sizeof last_));
    ++sent_;
    return true;
}

}  // namespace tavin::fuzz
