// A NetworkPhoneSink that keeps every report, for tests of discovery.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "session/phone_sinks.h"

namespace tavin::test {

struct NetworkReport {
    PhoneId id{};
    std::uint16_t kind = 0;
    std::string name;
    sockaddr_storage address{};
    std::uint16_t portBe = 0;

    int family() const { return address.ss_family; }
    // The address as text (no port), "" for another family.
    std::string addressText() const {
        char text[INET6_ADDRSTRLEN] = {};
        if (address.ss_family == AF_INET)
            inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, text, sizeof text);
        else if (address.ss_family == AF_INET6)
            inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr, text, sizeof text);
        return text;
    }
    // The port inside the socket address, host byte order.
    std::uint16_t addressPort() const {
        if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    }
    std::uint32_t scopeId() const {
        return address.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&address)->sin6_scope_id : 0;
    }
};

class RecordingNetworkSink : public NetworkPhoneSink {
public:
    void PhoneFound(const PhoneId& id, std::uint16_t kind, std::string_view name, const sockaddr* address,
                    std::uint16_t portBe) override {
        NetworkReport r;
        r.id = id;
        r.kind = kind;
        r.name = std::string(name);
        r.portBe = portBe;
        if (address != nullptr) {
            std::memcpy(&r.address, address, address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
        }
        std::lock_guard<std::mutex> guard(lock_);
        reports_.push_back(std::move(r));
        changed_.notify_all();
    }

    std::vector<NetworkReport> reports() {
        std::lock_guard<std::mutex> guard(lock_);
        return reports_;
    }

    // Waits until `done` holds for the reports so far; false after the
    // time-out.
    bool waitFor(const std::function<bool(const std::vector<NetworkReport>&)>& done,
                 std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, timeout, [&] { return done(reports_); });
    }

    bool waitForCount(std::size_t count, std::chrono::milliseconds timeout) {
        return waitFor([count](const std::vector<NetworkReport>& r) { return r.size() >= count; }, timeout);
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<NetworkReport> reports_;
};

}  // namespace tavin::test
