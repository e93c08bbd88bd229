#include "support/usbmux_support.h"

#include <stdlib.h>

namespace tavin::test {

UsbmuxPeerProcess::UsbmuxPeerProcess() {
    const std::string socket = dir_.path() + "/usbmuxd";
    address_ = "UNIX:" + socket;
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{toolPath("usbmuxd-peer"), "--socket", socket});
    started_ = process_->waitForLine("usbmuxd-peer: listening").has_value();
    setenv("USBMUXD_SOCKET_ADDRESS", address_.c_str(), 1);
}

bool UsbmuxPeerProcess::command(const std::string& line, const std::string& answer) {
    const int before = process_->countLines(answer);
    process_->writeLine(line);
    for (int i = 0; i < 1000; ++i) {
        if (process_->countLines(answer) > before) return true;
        platform::sleepMs(10);
    }
    return false;
}

bool UsbmuxPeerProcess::attach(std::uint32_t handle, bool usb, const std::vector<Port>& ports) {
    std::string line = "attach " + std::to_string(handle) + (usb ? " usb" : " network");
    for (const Port& p : ports) line += " " + std::to_string(p.device) + "=127.0.0.1:" + std::to_string(p.target);
    return command(line, "usbmuxd-peer: attached " + std::to_string(handle) + " ");
}

bool UsbmuxPeerProcess::detach(std::uint32_t handle) {
    return command("detach " + std::to_string(handle), "usbmuxd-peer: detached " + std::to_string(handle) + " ");
}

void useNoUsbmuxService() { setenv("USBMUXD_SOCKET_ADDRESS", "UNIX:/nonexistent/engine-test-usbmuxd", 1); }

}  // namespace tavin::test
