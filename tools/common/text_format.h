// printf into a std::string, for the tools' and benchmarks' lines.
#pragma once

#include <string>

namespace tavin::tools {

// The formatted text, cut at 1023 bytes; empty when the format fails.
std::string formatText(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tavin::tools
