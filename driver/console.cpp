#include "driver/console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace tavin::driverside {
namespace {

void writeText(int fd, const char* text, std::size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, text, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to report a broken console
        text += n;
        length -= static_cast<std::size_t>(n);
    }
}

}  // namespace

void Console::line(const char* format, ...) {
    char text[4096];
    int used = std::snprintf(text, sizeof text, "%s: ", name_.c_str());
    if (used < 0 || static_cast<std::size_t>(used) >= sizeof text / 2) return;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text + used, sizeof text - static_cast<std::size_t>(used) - 1, format, args);
    va_end(args);
    if (n < 0) return;
    std::size_t length = std::strlen(text);  // vsnprintf may have cut a long line
    text[length++] = '\n';
    writeText(STDERR_FILENO, text, length);
}

void Console::ready() {
    const std::string text = name_ + ": ready\n";
    writeText(readyOnStderr_ ? STDERR_FILENO : STDOUT_FILENO, text.data(), text.size());
}

}  // namespace tavin::driverside
