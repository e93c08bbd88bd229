// The phone's DNS-SD responder: answers multicast DNS queries (RFC 6762,
// RFC 6763) for the phone's session service on the --mdns interfaces.
//
// Records served:
//   _tavinwebcam._tcp.local            PTR  <id as 32 hex>._tavinwebcam._tcp.local
//   <id>._tavinwebcam._tcp.local       SRV  session port, host phone-<first 8 hex>.local
//   <id>._tavinwebcam._tcp.local       TXT  (empty)
//   phone-<...>.local                  A / AAAA: the phone's addresses
// The addresses are the bind address when it is a specific one, else the
// addresses of the interface the query came in on ("0.0.0.0": IPv4 only,
// "::": IPv4 and IPv6). A query from a port other than 5353 gets a unicast
// answer that repeats its id and questions with TTLs of at most 10 s; a
// query from port 5353 is answered by multicast on its interface (by
// unicast when every question asks for that). Each interface must exist
// and must not carry a default route.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "advertising.h"
#include "discovery/mdns_message.h"
#include "platform/thread.h"

namespace tavin::phonesim {

class MdnsResponder : public Advertiser {
public:
    // Null with `error` set when an interface is unknown or unfit.
    static std::unique_ptr<MdnsResponder> create(const AnnounceOptions& options, const AdvertisedPhone& phone,
                                                 std::string& error);
    ~MdnsResponder() override;

    bool start() override;
    void stop() override;
    // The instance name is the id, so a new display name changes nothing.
    void renamed(const std::string&) override {}

private:
    MdnsResponder() = default;
    void run();
    void handle(const std::uint8_t* data, std::size_t length, const sockaddr_storage& from, unsigned arrivalIndex,
                int socket);

    std::vector<unsigned> interfaces_;
    std::string bindAddress_;
    std::uint16_t port_ = 0;
    mdns::DnsName serviceName_, instanceName_, hostName_, servicesName_;
    int socket4_ = -1;
    int socket6_ = -1;
    std::atomic<bool> running_{false};
    platform::Thread thread_;
    std::unique_ptr<mdns::Message> message_;
};

}  // namespace tavin::phonesim
