// The registry value "erd" (the first-error record) with any content, as
// the engine reads it: the record check before a new record is written, the
// text read back, and the upload to the phone, which deletes it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "engine/error_record.h"
#include "fuzz_support.h"
#include "platform/registry_store.h"

using namespace tavin;

namespace {

void store(const std::string& file, const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    for (std::size_t at = 0; at < size;) {
        const ssize_t n = ::write(fd, data + at, size - at);
        FUZZ_CHECK(n > 0);
        at += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

void checkText(const std::string& text) {
    FUZZ_CHECK(text.size() < protocol::error_report::kTextLimit);
    FUZZ_CHECK(text.find('\0') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string file = [] {
        auto key = platform::RegistryKey::open(true);
        FUZZ_CHECK(key != nullptr);
        return platform::RegistryKey::keyDirectory() + "/" + kErrorRecordValue;
    }();
    store(file, data, size);

    checkText(readErrorRecord());
    auto key = platform::RegistryKey::open(false);
    FUZZ_CHECK(key != nullptr);
    for (std::size_t capacity : {0, 1, 2, 16, 255, 256}) {
        char buffer[257];
        std::memset(buffer, 'x', sizeof buffer);
        const int result = key->readString(kErrorRecordValue, buffer, capacity);
        FUZZ_CHECK(result == platform::kRegOk || result == platform::kRegMoreData ||
                   result == platform::kRegUnsupportedType);
        if (capacity > 0) FUZZ_CHECK(std::memchr(buffer, 0, capacity) != nullptr);
        FUZZ_CHECK(buffer[capacity] == 'x');  // nothing written past the capacity
        if (result == platform::kRegOk) FUZZ_CHECK(capacity > 0);
    }

    fuzz::CheckingTransport transport(PhoneId{});
    uploadErrorRecord(transport);
    FUZZ_CHECK(::access(file.c_str(), F_OK) != 0);  // the upload deletes the record, whatever it held
    if (transport.sent() > 0) {
        const std::uint8_t* text = transport.last() + protocol::error_report::kText;
        FUZZ_CHECK(std::memchr(text, 0, protocol::error_report::kTextLimit) != nullptr);
    }

    // A new failure is recorded only where no record stands.
    store(file, data, size);
    recordError("fz", 7);
    checkText(readErrorRecord());
    return 0;
}
