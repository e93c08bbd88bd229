// The usbmuxd peer's service: a Unix stream socket that speaks the usbmuxd
// service's protocol (version 1, XML property lists) to its clients, for
// devices that commands attach and detach.
//
// A client asks "Listen" (the reply, then "Attached" for every device and
// from then on "Attached" and "Detached" events as commands come), or
// "ListDevices", or "Connect" to a device port: when the device has a TCP
// target for that port and it accepts the connection, the reply is
// followed by the raw stream, proxied both ways until either side closes or
// the device is detached. Every client has a thread of its own; every wait
// is in 100 ms steps, so that stop() ends them all promptly.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "peer_commands.h"
#include "peer_messages.h"

namespace tavin::usbmuxpeer {

class PeerService {
public:
    explicit PeerService(std::string socketPath);
    ~PeerService();  // stops, removes the socket file
    PeerService(const PeerService&) = delete;
    PeerService& operator=(const PeerService&) = delete;

    // Creates the socket (a stale socket file at the path is replaced).
    bool listen(std::string& error);

    // Accepts clients and reads command lines from `commandFd` (-1: none)
    // until `stopFd` becomes readable or a "quit" command comes.
    void run(int commandFd, int stopFd);

    // Carries out one command line.
    void command(const std::string& line);

    // Ends every client and joins its thread.
    void stop();

private:
    struct Device {
        DeviceDescription description;
        std::vector<PortTarget> ports;
    };
    struct Client {
        int fd = -1;
        std::mutex writeLock;
        std::thread thread;
        std::atomic<bool> done{false};
        bool listening = false;        // guarded by the service lock
        std::uint32_t proxied = 0;     // device handle of a proxied stream; guarded by the service lock
        int upstream = -1;             // the proxied TCP connection; guarded by the service lock
    };

    void accept();
    void serve(Client& client);
    bool readPacket(Client& client, PacketHeader& header, std::vector<std::uint8_t>& payload);
    bool write(Client& client, const std::vector<std::uint8_t>& packet);
    void startListening(Client& client, std::uint32_t tag);
    void connectDevice(Client& client, const Request& request, std::uint32_t tag);
    void proxy(Client& client, int upstream);
    void attach(const Command& command);
    void detach(std::uint32_t handle);
    void list();
    void notifyListeners(const std::vector<std::uint8_t>& packet);
    void reapFinished();
    bool waitFor(int fd, short events);

    const std::string path_;
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> quit_{false};
    std::mutex lock_;  // devices_, clients_ and the clients' guarded fields
    std::vector<Device> devices_;
    std::list<std::unique_ptr<Client>> clients_;
};

// One whole line on standard output or standard error, prefixed
// "usbmuxd-peer: ".
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tavin::usbmuxpeer
