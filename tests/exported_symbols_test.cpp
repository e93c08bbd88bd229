// The library a host loads exports the functions of include/engine.h and
// nothing else: no C++ symbol (template instances, typeinfo, vtables of the
// standard library) may leak from it, since a host or another library could
// bind to it.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

// The names declared with ENGINE_EXPORT in the public header: the word
// before the "(" of every line that starts with the macro (its own
// definition does not).
std::set<std::string> headerFunctions() {
    const auto header = std::filesystem::path(__FILE__).parent_path().parent_path() / "include" / "engine.h";
    std::ifstream in(header);
    std::set<std::string> names;
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with("ENGINE_EXPORT ")) continue;
        const std::size_t paren = line.find('(');
        if (paren == std::string::npos) continue;
        std::size_t start = paren;
        while (start > 0 && (std::isalnum(static_cast<unsigned char>(line[start - 1])) || line[start - 1] == '_'))
            --start;
        names.insert(line.substr(start, paren - start));
    }
    return names;
}

// The defined symbols of the library's dynamic symbol table, as nm lists them.
std::set<std::string> exportedSymbols(const std::string& library) {
    std::set<std::string> names;
    const std::string command = "nm -D --defined-only '" + library + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return names;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) names.insert(name);
    }
    if (pclose(pipe) != 0) names.clear();
    return names;
}

}  // namespace

TEST(ExportedSymbols, ExactlyTheFunctionsOfThePublicHeader) {
    const std::set<std::string> expected = headerFunctions();
    ASSERT_FALSE(expected.empty());
    EXPECT_TRUE(expected.count("EInitialize") == 1 && expected.count("Render") == 1);
    EXPECT_EQ(exportedSymbols(ENGINE_LIBRARY_PATH), expected);
}
