// The stand-in's state folder ($TAVIN_ADB_DIR): what a test or the main job
// gives it and what it records. Every file is reread on each use.
//
// Given:
//   devices   printed byte for byte by "adb devices" (missing: the header
//             line and an empty line, as adb prints with no device)
//   phones    where a device's ports lead, one forward target a line:
//             SERIAL <TAB> DEVICE-PORT <TAB> HOST:PORT   (HOST an IPv4
//             address or a bracketed IPv6 one)
//   hang      when present, every run does its work and then holds its
//             output open and never ends (a hung adb)
// Recorded:
//   commands  one line per run: its arguments joined by TAB; inside an
//             argument a TAB is written \t, an LF \n and a backslash doubled
//   fds       the descriptors that the last run found open, e.g. "0 1 2"
//   server.sock, server.log   the forwarding server's control socket and log
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavin::adbstandin {

inline constexpr const char* kStateFolderVariable = "TAVIN_ADB_DIR";

// Files of more than this are read only up to it.
inline constexpr std::size_t kMaxStateFile = 1024 * 1024;

// The state folder as an absolute path; nothing when the variable is unset.
std::optional<std::string> stateFolder();

std::string statePath(const std::string& folder, std::string_view file);

// The file's bytes (at most kMaxStateFile); nothing when it cannot be read.
std::optional<std::string> readStateFile(const std::string& path);

// Appends one line with a single write.
bool appendLine(const std::string& path, const std::string& line);

// A field with TAB, LF and backslash written \t, \n and \\, and back.
std::string escapeField(std::string_view text);
std::string unescapeField(std::string_view text);

// Splits a line at TABs and unescapes each field.
std::vector<std::string> splitFields(std::string_view line);

// Where SERIAL's DEVICE-PORT leads, from the phones file; nothing when no
// line names them or the address does not parse.
std::optional<sockaddr_storage> forwardTarget(const std::string& folder, const std::string& serial,
                                              std::uint16_t devicePort);

// "tcp:PORT" with PORT 1..65535; nothing otherwise.
std::optional<std::uint16_t> parseTcpSpec(std::string_view text);

}  // namespace tavin::adbstandin
