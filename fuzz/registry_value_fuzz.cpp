// The registry value "erd" (the first-error record) with any content, as
// the engine reads it: the record check before a new record is written, the
// text read back, and the upload to the phone, which deletes it.
//
// The engine reads no more than the type line and 256 bytes of text, so
// inputs are kept to 512 bytes.
//
// libFuzzer options: -max_len=512
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

    auto key = platform::RegistryKey::open(false);
    FUZZ_CHECK(key != nullptr);
    // The record's readers read 255 bytes, the record check before a new
    // record is written 256.
    int atReaders = platform::kRegOk, atCheck = platform::kRegOk;
    std::string read;
    for (std::size_t capacity : {protocol::error_report::kTextLimit, std::size_t{256}}) {
        char buffer[257];
        std::memset(buffer, 'x', sizeof buffer);
        const int result = key->readString(kErrorRecordValue, buffer, capacity);
        FUZZ_CHECK(result == platform::kRegOk || result == platform::kRegMoreData ||
                   result == platform::kRegUnsupportedType);
        FUZZ_CHECK(std::memchr(buffer, 0, capacity) != nullptr);
        FUZZ_CHECK(buffer[capacity] == 'x');  // nothing written past the capacity
        if (capacity == protocol::error_report::kTextLimit) {
            atReaders = result;
            if (result == platform::kRegOk) read = buffer;
        }
        atCheck = result;
    }
    key.reset();

    // A new failure is recorded only where no record stands: a string that
    // fits, or a value of another type, is kept. The upload sends what its
    // reader finds (a value of another type as an empty text) and deletes
    // the value, whatever it held.
    fuzz::CheckingTransport transport(PhoneId{});
    if (atCheck == platform::kRegMoreData) {
        uploadErrorRecord(transport);
        FUZZ_CHECK(transport.sent() == 0);
        FUZZ_CHECK(::access(file.c_str(), F_OK) != 0);
        recordError("fz", 7);
        FUZZ_CHECK(readErrorRecord() == "we:fz:7");
        return 0;
    }
    recordError("fz", 7);
    const std::string after = readErrorRecord();
    checkText(after);
    FUZZ_CHECK(after == read);
    uploadErrorRecord(transport);
    FUZZ_CHECK(::access(file.c_str(), F_OK) != 0);
    FUZZ_CHECK(transport.sent() == (atReaders == platform::kRegMoreData ? 0u : 1u));
    if (transport.sent() > 0) {
        const char* sent = reinterpret_cast<const char*>(transport.last() + protocol::error_report::kText);
        FUZZ_CHECK(std::string(sent, strnlen(sent, protocol::error_report::kTextLimit)) == after);
    }
    return 0;
}
