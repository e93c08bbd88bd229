// The stand-in's forwarding server: like adb's own server it outlives the
// command that started it and keeps every forward alive after that command
// returns, so that 127.0.0.1:LOCAL keeps reaching the phone.
//
// The first "forward" starts it (detached, with no descriptor of the
// command's, its output going nowhere) when none answers on the state
// folder's server.sock. A forward listens on 127.0.0.1:LOCAL; a forward of
// a local port that already has one changes its target (adb rebinds the
// same way). For each connection the server looks up where the device's
// port leads in the phones file: with no such line the connection is closed
// at once, as a phone without the app would; otherwise the bytes are relayed
// both ways until either side ends. The server ends on "kill-server", or
// within about a second once its state folder is gone, so a test that
// removes the folder leaves no process behind.
#pragma once

#include <cstdint>
#include <string>

namespace tavin::adbstandin {

// Asks the server (started first when none runs) for a forward. True on
// success; otherwise `error` says why, as adb would.
bool requestForward(const std::string& folder, const std::string& serial, std::uint16_t localPort,
                    std::uint16_t devicePort, std::string& error);

// Stops a running server (and every forward with it). False when none ran.
bool stopServer(const std::string& folder);

}  // namespace tavin::adbstandin
