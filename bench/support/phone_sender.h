// The phone's side of one session for the benchmarks: it listens on
// loopback, takes the engine's connection, says who it is and offers one
// format, then sends pre-encoded Video messages (one buffer, allocated
// once) and reads what the engine sends back, counting the Timing
// messages: one for each packet the engine takes for decoding.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "session/protocol.h"
#include "test_clip.h"

namespace tavin::bench {

class PhoneSender {
public:
    explicit PhoneSender(const PhoneId& id);
    ~PhoneSender();
    PhoneSender(const PhoneSender&) = delete;
    PhoneSender& operator=(const PhoneSender&) = delete;

    const PhoneId& id() const { return id_; }
    // The listening port, 0 when the socket could not be made.
    std::uint16_t port() const { return port_; }
    // Tells the engine's slot 0 about this phone (as discovery would).
    void announce() const;

    // Waits for the engine to connect, sends PhoneInfo and Capabilities
    // offering `format`, and waits for the FormatRequest.
    bool start(const VideoFormat& format, double timeoutSeconds);
    // Sends one Video message tagged `tag`; returns the process clock when
    // the last byte was handed to the socket (0 on failure).
    double sendVideo(const Packet& packet, float tag);
    // Reads what the engine sent within `timeoutMs` (0: only what is there).
    void readReplies(int timeoutMs);
    // Timing messages read so far.
    std::uint64_t timings() const { return timings_; }

private:
    bool sendAll(const std::uint8_t* data, std::size_t length);

    PhoneId id_;
    int listener_ = -1;
    int socket_ = -1;
    std::uint16_t port_ = 0;
    std::vector<std::uint8_t> out_;  // a whole Video message of the largest size
    std::vector<std::uint8_t> in_;   // the engine's messages, gathered
    std::size_t have_ = 0;
    std::uint64_t timings_ = 0;
    bool formatRequested_ = false;
};

}  // namespace tavin::bench
