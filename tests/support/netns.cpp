#include "support/netns.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

namespace tavin::test {

namespace {

std::string programPath(const char* name) {
    for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
        std::string path = std::string(dir) + "/" + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

bool findProgram(const char* name) { return !programPath(name).empty(); }

bool setLoopbackUp(std::string* why) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (why) *why = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ifreq req{};
    std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &req) == 0;
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &req) == 0;
    if (!ok && why) *why = std::string("cannot bring loopback up: ") + std::strerror(errno);
    close(fd);
    return ok;
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out);
}

bool interfaceRunning(const std::string& name) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool running = false;
    for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_name != nullptr && name == a->ifa_name && (a->ifa_flags & IFF_UP) && (a->ifa_flags & IFF_RUNNING))
            running = true;
    }
    freeifaddrs(list);
    return running;
}

}  // namespace

std::string namespaceUnavailableReason() {
    if (geteuid() != 0) return "needs root to create network namespaces";
    if (!findProgram("ip")) return "the ip tool is not installed";
    if (!findProgram("nsenter")) return "the nsenter tool is not installed";
    // Try it in a throw-away child, so that this process stays where it is.
    const pid_t child = fork();
    if (child < 0) return "fork failed";
    if (child == 0) _exit(unshare(CLONE_NEWNET) == 0 ? 0 : 1);
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "creating a network namespace is not permitted here";
    return "";
}

bool enterPrivateNetwork(std::string* why) {
    std::string reason = namespaceUnavailableReason();
    if (!reason.empty()) {
        if (why) *why = reason;
        return false;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        if (why) *why = std::string("unshare: ") + std::strerror(errno);
        return false;
    }
    return setLoopbackUp(why);
}

int runCommand(const std::vector<std::string>& argv, int timeoutMs) {
    if (argv.empty()) return -1;
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(child, &status, WNOHANG);
        if (r == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0) return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string PeerNamespace::addressOf(const std::string& withPrefix) {
    return withPrefix.substr(0, withPrefix.find('/'));
}

std::unique_ptr<PeerNamespace> PeerNamespace::create(const Config& config, std::string* why) {
    auto fail = [why](const std::string& reason) {
        if (why) *why = reason;
        return nullptr;
    };
    std::string reason = namespaceUnavailableReason();
    if (!reason.empty()) return fail(reason);

    std::unique_ptr<PeerNamespace> ns(new PeerNamespace());
    ns->config_ = config;
    int ready[2], hold[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return fail("pipe");
    if (pipe2(hold, O_CLOEXEC) != 0) {
        close(ready[0]);
        close(ready[1]);
        return fail("pipe");
    }
    const pid_t parent = getpid();
    const pid_t holder = fork();
    if (holder < 0) return fail("fork");
    if (holder == 0) {
        // The holder keeps the namespace alive while the test needs it and
        // dies with the test.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        close(ready[0]);
        close(hold[1]);
        const char ok = unshare(CLONE_NEWNET) == 0 ? 1 : 0;
        [[maybe_unused]] ssize_t n = write(ready[1], &ok, 1);
        char c;
        while (read(hold[0], &c, 1) > 0) {
        }
        _exit(0);
    }
    close(ready[1]);
    close(hold[0]);
    ns->holder_ = holder;
    ns->holdFd_ = hold[1];
    char ok = 0;
    pollfd p{ready[0], POLLIN, 0};
    const bool got = poll(&p, 1, 5000) == 1 && read(ready[0], &ok, 1) == 1 && ok == 1;
    close(ready[0]);
    if (!got) return fail("the namespace holder did not start");

    const Config& c = config;
    auto step = [&](const std::vector<std::string>& argv, const char* what) {
        if (runCommand(argv) == 0) return true;
        if (why) *why = std::string("cannot ") + what;
        return false;
    };
    const std::string pid = std::to_string(holder);
    if (!step({"ip", "link", "add", c.localName, "type", "veth", "peer", "name", c.peerName}, "create the veth pair") ||
        !step({"ip", "link", "set", c.peerName, "netns", pid}, "move the peer end"))
        return nullptr;
    // Addresses are usable at once without duplicate address detection.
    writeFile("/proc/sys/net/ipv6/conf/" + c.localName + "/accept_dad", "0");
    if (!step({"ip", "addr", "add", c.localIpv4, "dev", c.localName}, "address the local end") ||
        !step({"ip", "-6", "addr", "add", c.localIpv6, "dev", c.localName, "nodad"}, "address the local end") ||
        !step({"ip", "link", "set", c.localName, "multicast", "on", "up"}, "bring the local end up") ||
        !step(ns->command({"sysctl", "-q", "-w", "net.ipv6.conf." + c.peerName + ".accept_dad=0"}),
              "configure the peer end") ||
        !step(ns->command({"ip", "link", "set", "lo", "up"}), "bring the peer loopback up") ||
        !step(ns->command({"ip", "addr", "add", c.peerIpv4, "dev", c.peerName}), "address the peer end") ||
        !step(ns->command({"ip", "-6", "addr", "add", c.peerIpv6, "dev", c.peerName, "nodad"}),
              "address the peer end") ||
        !step(ns->command({"ip", "link", "set", c.peerName, "multicast", "on", "up"}), "bring the peer end up"))
        return nullptr;
    for (int i = 0; i < 500 && !interfaceRunning(c.localName); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!interfaceRunning(c.localName)) return fail("the veth pair does not come up");
    return ns;
}

PeerNamespace::~PeerNamespace() {
    // Deleting one end deletes the pair at once; the namespace itself is
    // torn down by the kernel later.
    runCommand({"ip", "link", "del", config_.localName});
    if (holdFd_ >= 0) close(holdFd_);
    if (holder_ > 0) {
        int status = 0;
        for (int i = 0; i < 200; ++i) {
            if (waitpid(holder_, &status, WNOHANG) == holder_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(holder_, SIGKILL);
        waitpid(holder_, &status, 0);
    }
}

std::vector<std::string> PeerNamespace::command(const std::vector<std::string>& argv) const {
    std::vector<std::string> full = {programPath("nsenter"), "--net=/proc/" + std::to_string(holder_) + "/ns/net", "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

int PeerNamespace::run(const std::vector<std::string>& argv, int timeoutMs) const {
    return runCommand(command(argv), timeoutMs);
}

}  // namespace tavin::test
