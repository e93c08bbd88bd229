#include "support/adb_support.h"

#include <dirent.h>
#include <linux/netlink.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/netns.h"

namespace tavin::test {

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

}  // namespace

AdbStandIn::AdbStandIn() {
    const std::string link = bin_.path() + "/adb";
    if (symlink(toolPath("adb").c_str(), link.c_str()) != 0) ADD_FAILURE() << "cannot link the adb stand-in";
    if (const char* path = getenv("PATH")) previousPath_ = path;
    setenv("PATH", (bin_.path() + ":" + previousPath_.value_or("/usr/bin:/bin")).c_str(), 1);
    setenv("TAVIN_ADB_DIR", state_.path().c_str(), 1);
}

AdbStandIn::~AdbStandIn() {
    setHanging(false);
    // Like adb's own server, the stand-in's outlives its commands: stop it
    // and wait until it is gone, so that the next test finds its ports free.
    runCommand({bin_.path() + "/adb", "kill-server"}, 5000);
    for (int i = 0; i < 300 && serverRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (previousPath_)
        setenv("PATH", previousPath_->c_str(), 1);
    else
        unsetenv("PATH");
    unsetenv("TAVIN_ADB_DIR");
}

void AdbStandIn::setDevices(const std::string& output) { writeFile(folder() + "/devices", output); }

void AdbStandIn::addPhone(const std::string& serial, std::uint16_t probePort, std::uint16_t sessionPort) {
    std::ofstream out(folder() + "/phones", std::ios::app);
    out << serial << "\t4697\t127.0.0.1:" << probePort << "\n" << serial << "\t4699\t127.0.0.1:" << sessionPort << "\n";
}

void AdbStandIn::setHanging(bool hanging) {
    const std::string path = folder() + "/hang";
    if (hanging)
        writeFile(path, "");
    else
        unlink(path.c_str());
}

std::vector<std::string> AdbStandIn::commands() const {
    std::vector<std::string> lines;
    std::istringstream in(readFile(folder() + "/commands"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

int AdbStandIn::count(const std::string& commandLine) const {
    int n = 0;
    for (const std::string& line : commands()) n += line == commandLine;
    return n;
}

std::vector<std::string> AdbStandIn::forwards() const {
    std::vector<std::string> out;
    for (const std::string& line : commands())
        if (line.find("\tforward\t") != std::string::npos) out.push_back(line);
    return out;
}

std::string AdbStandIn::lastRunDescriptors() const {
    std::string text = readFile(folder() + "/fds");
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

bool AdbStandIn::serverRunning() const { return access((folder() + "/server.sock").c_str(), F_OK) == 0; }

void AdbStandIn::hideAdb() { setenv("PATH", empty_.path().c_str(), 1); }

std::string adbCommand(const std::vector<std::string>& arguments) {
    std::string line;
    for (std::size_t i = 0; i < arguments.size(); ++i) line += (i ? "\t" : "") + arguments[i];
    return line;
}

std::string forwardCommand(const std::string& serial, std::uint16_t local, std::uint16_t devicePort) {
    return adbCommand({"-s", serial, "forward", "tcp:" + std::to_string(local), "tcp:" + std::to_string(devicePort)});
}

bool sendUsbUevent(const std::string& action) {
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) return false;
    static int sequence = 0;
    const std::string devpath = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(++sequence);
    std::string message = action + "@" + devpath + '\0';
    for (const std::string& field : {"ACTION=" + action, "DEVPATH=" + devpath, std::string("SUBSYSTEM=usb"),
                                     std::string("DEVTYPE=usb_device"), "SEQNUM=" + std::to_string(sequence)})
        message += field + '\0';
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_groups = 1;  // the kernel's uevent group
    const bool sent = sendto(fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                             sizeof to) == static_cast<ssize_t>(message.size());
    close(fd);
    return sent;
}

AdbChildren adbChildren() {
    AdbChildren found;
    DIR* dir = opendir("/proc");
    if (dir == nullptr) return found;
    const std::string me = std::to_string(getpid());
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        // "pid (comm) state ppid ..."
        const std::string stat = readFile(std::string("/proc/") + e->d_name + "/stat");
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos || stat.find("(adb)") == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        std::string state, ppid;
        if (!(rest >> state >> ppid) || ppid != me) continue;
        ++found.running;
        if (state == "Z") ++found.zombies;
    }
    closedir(dir);
    return found;
}

}  // namespace tavin::test
