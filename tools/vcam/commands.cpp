#include "commands.h"

#include <unistd.h>

#include <cerrno>
#include <limits>

#include "common/words.h"

namespace tavin::vcam {
namespace {

using tools::number;
using tools::splitWords;

bool onOff(std::string_view word, bool& on) {
    if (word == "on" || word == "1") {
        on = true;
        return true;
    }
    if (word == "off" || word == "0") {
        on = false;
        return true;
    }
    return false;
}

}  // namespace

bool parseCommand(std::string_view line, Command& out, std::string& error) {
    error.clear();
    const std::vector<std::string_view> w = splitWords(line);
    if (w.empty() || w[0].front() == '#') return false;
    Command c;
    auto bad = [&](const std::string& why) {
        error = why;
        return false;
    };
    auto camera = [&]() {
        if (w.size() < 2 || !number(w[1], c.camera) || c.camera < 0 || c.camera > 3) {
            error = "camera index must be 0..3";
            return false;
        }
        return true;
    };
    const std::string_view name = w[0];
    if (name == "stats" || name == "quit") {
        if (w.size() != 1) return bad(std::string(name) + " takes no arguments");
        c.kind = name == "stats" ? Command::Kind::Stats : Command::Kind::Quit;
    } else if (name == "format") {
        if (w.size() != 3) return bad("usage: format N WxH@FPS:KIND|none");
        if (!camera()) return false;
        c.kind = Command::Kind::Format;
        std::string why;
        if (!parseFormat(w[2], c.format, &why)) return bad(why);
    } else if (name == "request") {
        if (w.size() != 6) return bad("usage: request N WIDTH HEIGHT FPS KIND");
        if (!camera()) return false;
        c.kind = Command::Kind::Request;
        if (!number(w[2], c.format.width) || !number(w[3], c.format.height) || !number(w[4], c.format.fps) ||
            !number(w[5], c.format.kind))
            return bad("request values must be numbers");
    } else if (name == "consumer" || name == "formatlist") {
        if (w.size() != 3) return bad("usage: " + std::string(name) + " N on|off");
        if (!camera()) return false;
        c.kind = name == "consumer" ? Command::Kind::Consumer : Command::Kind::FormatList;
        if (!onOff(w[2], c.on)) return bad("expected on or off");
    } else if (name == "control") {
        if (w.size() != 4) return bad("usage: control N A|B VALUE");
        if (!camera()) return false;
        if (w[2] == "A") {
            std::int32_t v = 0;
            if (!number(w[3], v)) return bad("control A takes an int32");
            c.kind = Command::Kind::ControlA;
            c.value = v;
        } else if (w[2] == "B") {
            std::uint32_t v = 0;
            if (!number(w[3], v)) return bad("control B takes a uint32");
            c.kind = Command::Kind::ControlB;
            c.value = v;
        } else {
            return bad("control is A or B");
        }
    } else if (name == "snapshot") {
        if (w.size() != 3) return bad("usage: snapshot N FILE.png");
        if (!camera()) return false;
        c.kind = Command::Kind::Snapshot;
        c.path = std::string(w[2]);
    } else if (name == "record") {
        if (w.size() != 4) return bad("usage: record N FILE.y4m PICTURES");
        if (!camera()) return false;
        c.kind = Command::Kind::Record;
        c.path = std::string(w[2]);
        if (!number(w[3], c.pictures) || c.pictures == 0 || c.pictures > Command::kMaxClipPictures)
            return bad("the clip takes 1.." + std::to_string(Command::kMaxClipPictures) + " pictures");
    } else {
        return bad("unknown command '" + std::string(name) + "'");
    }
    out = std::move(c);
    return true;
}

bool LineReader::read(std::vector<std::string>& lines, int& overlong) {
    char buffer[4096];
    ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) return false;
    for (ssize_t i = 0; i < n; ++i) {
        const char ch = buffer[i];
        if (ch == '\n') {
            if (discarding_)
                ++overlong;
            else
                lines.push_back(std::move(partial_));
            partial_.clear();
            discarding_ = false;
        } else if (!discarding_) {
            if (partial_.size() >= kMaxLine) {
                discarding_ = true;
                partial_.clear();
            } else {
                partial_.push_back(ch);
            }
        }
    }
    return true;
}

}  // namespace tavin::vcam
