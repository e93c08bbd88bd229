// What the fuzz harnesses share: a check that stops the run like a crash,
// a private folder for the files the engine writes, and a transport that
// checks what the engine sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "session/phone_transport.h"

// Stops the run (a finding) when an invariant of the code under test fails.
#define FUZZ_CHECK(condition)                                          \
    do {                                                               \
        if (!(condition)) ::tavin::fuzz::failed(#condition, __FILE__, __LINE__); \
    } while (0)

namespace tavin::fuzz {

[[noreturn]] void failed(const char* condition, const char* file, int line);

// A fresh folder for this process, on /dev/shm when there is one (removed
// at exit), made the engine's registry home (XDG_CONFIG_HOME) and its
// device directory (TAVIN_DEVICE_DIR). It is made when the program starts.
const std::string& privateFolder();

// A session's transport that only checks the engine's messages: every one
// is sent whole, its header's length equals what was sent and is within the
// protocol's bounds.
class CheckingTransport final : public PhoneTransport {
public:
    explicit CheckingTransport(const PhoneId& id);
    bool send(const void* data, std::size_t length) override;
    void close() override {}
    void stop() override {}
    bool onReceiveThread() const override { return true; }

    std::size_t sent() const { return sent_; }
    // The first bytes of the last message sent (up to 512).
    const std::uint8_t* last() const { return last_; }

private:
    std::size_t sent_ = 0;
    std::uint8_t last_[512] = {};
};

}  // namespace tavin::fuzz
