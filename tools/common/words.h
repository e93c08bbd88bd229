// Reading the tools' one-line commands and log lines: words and numbers.
#pragma once

#include <charconv>
#include <string_view>
#include <system_error>
#include <vector>

namespace tavin::tools {

// The words of `line`, split at spaces, tabs and carriage returns; views
// into `line`.
std::vector<std::string_view> splitWords(std::string_view line);

// Reads `text` as one number of T, all of it; false for empty text, text
// that is not a number, extra characters or a value out of T's range.
template <class T>
bool number(std::string_view text, T& out) {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end;
}

}  // namespace tavin::tools
