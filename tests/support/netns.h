// Network namespaces for tests that send multicast or multicast DNS: such
// traffic must never leave through an interface of the machine itself.
//
// enterPrivateNetwork() moves the test (the calling thread and everything it
// starts afterwards) into a fresh network namespace that has only its own
// loopback. A PeerNamespace is a further namespace joined to the caller's
// by a veth pair, with IPv4 and IPv6 addresses on both ends; programs run
// inside it through nsenter. Everything goes away with the objects (and,
// should the test die, with its processes: the namespace's holder process
// dies with its parent, and a veth pair dies with either end).
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace tavin::test {

// Empty when namespace tests can run here, else why not (not root, no
// permission to unshare, no ip or nsenter tool).
std::string namespaceUnavailableReason();

// Moves the calling thread into a new network namespace with loopback up.
// False with the reason in *why. Call it before the test starts threads
// that must live in the new namespace.
bool enterPrivateNetwork(std::string* why);

// Runs argv (no shell), waits at most timeoutMs, and returns the exit
// status, or -1 when it could not run or was killed for taking too long.
int runCommand(const std::vector<std::string>& argv, int timeoutMs = 10000);

class PeerNamespace {
public:
    struct Config {
        std::string localName = "tvlocal0";  // the caller's end of the pair
        std::string peerName = "tvpeer0";    // the end inside the peer namespace
        std::string localIpv4 = "10.77.0.1/24";
        std::string peerIpv4 = "10.77.0.2/24";
        std::string localIpv6 = "fd77::1/64";
        std::string peerIpv6 = "fd77::2/64";
    };

    // Creates the namespace and the pair, configures both ends (addresses
    // without duplicate address detection, multicast on, up) and waits
    // until both ends run. Null with the reason in *why.
    static std::unique_ptr<PeerNamespace> create(const Config& config, std::string* why);
    ~PeerNamespace();
    PeerNamespace(const PeerNamespace&) = delete;
    PeerNamespace& operator=(const PeerNamespace&) = delete;

    // argv run inside the peer namespace: nsenter --net=... -- argv.
    std::vector<std::string> command(const std::vector<std::string>& argv) const;
    // Runs argv inside the peer namespace and waits (see runCommand).
    int run(const std::vector<std::string>& argv, int timeoutMs = 10000) const;

    const Config& config() const { return config_; }
    // The addresses without their prefix length.
    static std::string addressOf(const std::string& withPrefix);

private:
    PeerNamespace() = default;

    Config config_;
    pid_t holder_ = -1;
    int holdFd_ = -1;  // closing it ends the holder
};

}  // namespace tavin::test
