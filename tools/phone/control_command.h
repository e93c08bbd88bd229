// The commands the simulator takes on its control channel, one per line.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavin::phonesim {

enum class CommandKind {
    Start,          // start          resume streaming (StreamStart, then pictures)
    Stop,           // stop           StreamStop and no more pictures
    Button,         // button <code> <value>
    Report,         // report <19-22> <w1> <w2> <w3> <w4>
    Names,          // names <value> <name1>/<name2>...
    FocusDistance,  // focusdistance <mode> <distance>
    Challenge,      // challenge      a new Challenge; a wrong answer closes
    Silence,        // silence        send nothing more, Ping included
    Close,          // close          abrupt close of the session
    Oversize,       // oversize [type]   a header announcing 4,000,001 bytes
    Undersize,      // undersize [type]  a header announcing 2 bytes
    SlowRead,       // slowread       stop reading the socket
    Info,           // info <name>    PhoneInfo with a new name
    Quit,           // quit           end the simulator
};

struct Command {
    CommandKind kind = CommandKind::Quit;
    std::int32_t code = 0;                  // Button code, FocusDistance mode
    std::uint32_t value = 0;                // Button value, NameList value
    std::uint8_t type = 0;                  // Report type; Oversize/Undersize header type
    std::array<std::uint32_t, 4> words{};   // Report words
    std::vector<std::string> names;         // NameList entries
    float distance = 0.0f;                  // FocusDistance
    std::string text;                       // Info name
};

inline constexpr std::size_t kMaxCommandLine = 4096;
inline constexpr std::size_t kMaxCommandNames = 64;

// Parses one line (without its newline). Numbers are decimal (a leading
// minus allowed) or 0x hex; a number with a point or an exponent is a
// float and travels as its 32-bit pattern. Nothing for a blank line, and
// nothing with `error` set for a malformed one.
std::optional<Command> parseCommand(std::string_view line, std::string& error);

}  // namespace tavin::phonesim
