// Where the simulator makes itself known beyond its listening ports:
// PhoneInfo datagrams to chosen addresses and answers to DNS-SD queries.
//
// Everything here is off unless an --announce option group asks for it, and
// then goes only to the addresses and interfaces named on the command line.
// The options are parsed with the rest of the command line; the advertisers
// that carry them out plug in through makeAdvertisers().
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "session/protocol.h"

namespace tavin::phonesim {

struct AnnounceOptions {
    // --announce <addr>[:port] or [<v6addr>]:port, repeatable: send PhoneInfo
    // datagrams to this address (unicast or a multicast group). The port
    // defaults to the announcement port 4698.
    std::vector<std::string> targets;
    // --announce-interface <ifname>: the one interface multicast datagrams
    // leave by. Multicast targets need it; there is no default interface.
    std::string interfaceName;
    // --announce-interval <ms>: spacing of the datagrams.
    int intervalMs = 1000;
    // --mdns <ifname>, repeatable: answer DNS-SD queries for the phone's
    // session service on this interface only.
    std::vector<std::string> mdnsInterfaces;

    bool any() const { return !targets.empty() || !mdnsInterfaces.empty(); }
};

inline constexpr int kMinAnnounceIntervalMs = 50;
inline constexpr int kMaxAnnounceIntervalMs = 60'000;

// What an advertiser tells about the phone.
struct AdvertisedPhone {
    PhoneId id{};
    std::uint16_t kind = 0;
    std::string name;
    std::string bindAddress;
    std::uint16_t sessionPort = 0;
    std::uint16_t probePort = 0;  // 0: no probe port
};

// One running advertisement. Owned by the simulator; start() once, stop()
// before destruction (stop clears the running flag, wakes and joins).
class Advertiser {
public:
    virtual ~Advertiser() = default;
    virtual bool start() = 0;
    virtual void stop() = 0;
    // The phone's name changed ("info" command): later datagrams and
    // answers carry the new one.
    virtual void renamed(const std::string& name) = 0;
};

// Builds the advertisers the options ask for; none when options.any() is
// false. False with `error` set when the options cannot be carried out.
bool makeAdvertisers(const AnnounceOptions& options, const AdvertisedPhone& phone,
                     std::vector<std::unique_ptr<Advertiser>>& out, std::string& error);

}  // namespace tavin::phonesim
