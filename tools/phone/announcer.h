// The PhoneInfo announcer: sends the phone's 280-byte PhoneInfo as a UDP
// datagram to every --announce target at the --announce-interval spacing,
// as phones do towards the groups 239.255.188.58 and FF02::2:d644 port 4698.
//
// Targets are numeric: "a.b.c.d[:port]", "[v6]:port", "[v6]" or a bare
// IPv6 address (port 4698 then). Multicast targets leave only through the
// --announce-interface, which must exist and must not carry a default
// route: the datagrams stay on links that a test made (a veth pair in a
// network namespace), never on the machine's own network.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "advertising.h"
#include "platform/thread.h"

namespace tavin::phonesim {

// True when a default route (IPv4 or IPv6) goes out through the interface.
bool interfaceCarriesDefaultRoute(const std::string& interfaceName);

// Parses one announce target; false for anything but the forms above.
bool parseAnnounceTarget(const std::string& text, sockaddr_storage& out);

class Announcer : public Advertiser {
public:
    // Null with `error` set when a target is malformed, or a multicast
    // target has no usable interface.
    static std::unique_ptr<Announcer> create(const AnnounceOptions& options, const AdvertisedPhone& phone,
                                             std::string& error);
    ~Announcer() override;

    bool start() override;
    void stop() override;
    void renamed(const std::string& name) override;

private:
    Announcer() = default;
    void run();

    std::vector<sockaddr_storage> targets_;
    unsigned interfaceIndex_ = 0;  // 0: no interface given
    int intervalMs_ = 1000;
    PhoneId id_{};
    std::uint16_t kind_ = 0;
    std::mutex nameLock_;
    std::string name_;
    int socket4_ = -1;
    int socket6_ = -1;
    std::atomic<bool> running_{false};
    platform::Thread thread_;
};

}  // namespace tavin::phonesim
