#include "common/text_format.h"

#include <cstdarg>
#include <cstdio>

namespace tavin::tools {

std::string formatText(const char* pattern, ...) {
    char text[1024];
    va_list args;
    va_start(args, pattern);
    const int n = std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return n < 0 ? std::string() : std::string(text);
}

}  // namespace tavin::tools
