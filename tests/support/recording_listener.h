// A TransportListener that logs every event of a transport as text, for
// the transport tests.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "session/phone_transport.h"
#include "session/protocol.h"
#include "support/session_support.h"

namespace tavin::test {

// Logs every event of a transport as text; small messages are kept whole.
class RecordingListener : public TransportListener {
public:
    void onConnected(PhoneTransport&) override { log.add("connected"); }
    void onConnectFailed(PhoneTransport&) override { log.add("failed"); }
    void onDisconnected(PhoneTransport&) override { log.add("disconnected"); }
    void onMessage(PhoneTransport& t, const std::uint8_t* m, std::uint32_t length) override {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (length <= 4096) {
                messages.emplace_back(m, m + length);
            } else {
                // Large ones: the length and a checksum of every byte.
                std::uint64_t sum = 0;
                for (std::uint32_t i = 0; i < length; ++i) sum = sum * 31 + m[i];
                bigSums.push_back(sum);
            }
        }
        log.add("message " + std::to_string(protocol::headerType(m)) + " " + std::to_string(length));
        if (action) action(t);
    }

    EventLog log;
    std::mutex lock;
    std::vector<std::vector<std::uint8_t>> messages;
    std::vector<std::uint64_t> bigSums;
    std::function<void(PhoneTransport&)> action;
};

}  // namespace tavin::test
