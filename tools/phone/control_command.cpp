#include "control_command.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdlib>

#include "phone_options.h"
#include "platform/byte_order.h"
#include "session/protocol.h"

namespace tavin::phonesim {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// Splits off the next blank-separated word.
std::string_view nextWord(std::string_view& rest) {
    rest = trim(rest);
    std::size_t end = rest.find_first_of(" \t");
    std::string_view word = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    return word;
}

// A 32-bit word: a signed or unsigned integer, or the bits of a float.
bool parseWord(std::string_view text, std::uint32_t& out) {
    if (text.empty() || text.size() > 64) return false;
    std::string s(text);
    char* end = nullptr;
    errno = 0;
    bool isHex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    if (!isHex && s.find_first_of(".eE") != std::string::npos) {
        float f = std::strtof(s.c_str(), &end);
        if (end != s.c_str() + s.size() || errno != 0 || !std::isfinite(f)) return false;
        out = floatBits(f);
        return true;
    }
    if (s[0] == '-') {
        long long v = std::strtoll(s.c_str(), &end, 10);
        if (end != s.c_str() + s.size() || errno != 0 || v < INT32_MIN) return false;
        out = static_cast<std::uint32_t>(static_cast<std::int32_t>(v));
        return true;
    }
    unsigned long long v = std::strtoull(s.c_str(), &end, isHex ? 16 : 10);
    if (end != s.c_str() + s.size() || errno != 0 || v > UINT32_MAX) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool parseFloat(std::string_view text, float& out) {
    if (text.empty() || text.size() > 64) return false;
    std::string s(text);
    char* end = nullptr;
    errno = 0;
    float f = std::strtof(s.c_str(), &end);
    if (end != s.c_str() + s.size() || errno != 0 || !std::isfinite(f)) return false;
    out = f;
    return true;
}

bool parseType(std::string_view text, std::uint8_t& out) {
    std::uint32_t v = 0;
    if (!parseWord(text, v) || v > 255) return false;
    out = static_cast<std::uint8_t>(v);
    return true;
}

}  // namespace

std::optional<Command> parseCommand(std::string_view line, std::string& error) {
    error.clear();
    std::string_view rest = line;
    std::string_view verb = nextWord(rest);
    if (verb.empty()) return std::nullopt;
    Command command;
    auto fail = [&](const char* why) {
        error = std::string(verb) + ": " + why;
        return std::nullopt;
    };
    auto noMore = [&]() { return trim(rest).empty(); };

    if (verb == "start") {
        command.kind = CommandKind::Start;
    } else if (verb == "stop") {
        command.kind = CommandKind::Stop;
    } else if (verb == "challenge") {
        command.kind = CommandKind::Challenge;
    } else if (verb == "silence") {
        command.kind = CommandKind::Silence;
    } else if (verb == "close") {
        command.kind = CommandKind::Close;
    } else if (verb == "slowread") {
        command.kind = CommandKind::SlowRead;
    } else if (verb == "quit") {
        command.kind = CommandKind::Quit;
    } else if (verb == "button") {
        command.kind = CommandKind::Button;
        std::uint32_t code = 0;
        if (!parseWord(nextWord(rest), code) || !parseWord(nextWord(rest), command.value))
            return fail("expected <code> <value>");
        command.code = static_cast<std::int32_t>(code);
    } else if (verb == "report") {
        command.kind = CommandKind::Report;
        if (!parseType(nextWord(rest), command.type) || command.type < protocol::kReport19 ||
            command.type > protocol::kReport22)
            return fail("expected a type 19..22");
        for (auto& word : command.words)
            if (!parseWord(nextWord(rest), word)) return fail("expected four words");
    } else if (verb == "names") {
        command.kind = CommandKind::Names;
        if (!parseWord(nextWord(rest), command.value)) return fail("expected <value> <name1>/<name2>...");
        std::string_view list = trim(rest);
        rest = {};
        while (!list.empty()) {
            std::size_t slash = list.find('/');
            std::string_view name = list.substr(0, slash);
            if (name.size() > kMaxNameBytes) return fail("a name is longer than 255 bytes");
            if (command.names.size() >= kMaxCommandNames) return fail("more than 64 names");
            command.names.emplace_back(name);
            if (slash == std::string_view::npos) break;
            list.remove_prefix(slash + 1);
        }
    } else if (verb == "focusdistance") {
        command.kind = CommandKind::FocusDistance;
        std::uint32_t mode = 0;
        if (!parseWord(nextWord(rest), mode) || !parseFloat(nextWord(rest), command.distance))
            return fail("expected <mode> <distance>");
        command.code = static_cast<std::int32_t>(mode);
    } else if (verb == "oversize" || verb == "undersize") {
        command.kind = verb == "oversize" ? CommandKind::Oversize : CommandKind::Undersize;
        command.type = verb == "oversize" ? protocol::kVideo : protocol::kPing;
        std::string_view type = nextWord(rest);
        if (!type.empty() && !parseType(type, command.type)) return fail("expected a type 0..255");
    } else if (verb == "info") {
        command.kind = CommandKind::Info;
        std::string_view name = trim(rest);
        rest = {};
        if (name.size() > kMaxNameBytes) return fail("name longer than 255 bytes");
        command.text = std::string(name);
    } else {
        error = "unknown command " + std::string(verb);
        return std::nullopt;
    }
    if (!noMore()) return fail("unexpected words at the end");
    return command;
}

}  // namespace tavin::phonesim
