#include "state_folder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <filesystem>

namespace tavin::adbstandin {

namespace {

// A decimal port 1..65535, the whole text.
bool parsePort(std::string_view text, std::uint16_t& out) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value == 0 || value > 65535) return false;
    out = static_cast<std::uint16_t>(value);
    return true;
}

// "a.b.c.d:port" or "[v6]:port".
std::optional<sockaddr_storage> parseHostPort(std::string_view text) {
    sockaddr_storage out{};
    std::uint16_t port = 0;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find("]:");
        if (close == std::string_view::npos || !parsePort(text.substr(close + 2), port)) return std::nullopt;
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        if (inet_pton(AF_INET6, std::string(text.substr(1, close - 1)).c_str(), &v6->sin6_addr) != 1)
            return std::nullopt;
        return out;
    }
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || !parsePort(text.substr(colon + 1), port)) return std::nullopt;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    if (inet_pton(AF_INET, std::string(text.substr(0, colon)).c_str(), &v4->sin_addr) != 1) return std::nullopt;
    return out;
}

}  // namespace

std::optional<std::string> stateFolder() {
    const char* value = getenv(kStateFolderVariable);
    if (value == nullptr || *value == '\0') return std::nullopt;
    std::error_code ec;
    std::filesystem::path path = std::filesystem::absolute(value, ec);
    if (ec) return std::nullopt;
    return path.string();
}

std::string statePath(const std::string& folder, std::string_view file) { return folder + "/" + std::string(file); }

std::optional<std::string> readStateFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string data;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        data.append(chunk, static_cast<std::size_t>(n));
        if (data.size() >= kMaxStateFile) {
            data.resize(kMaxStateFile);
            break;
        }
    }
    close(fd);
    return data;
}

bool appendLine(const std::string& path, const std::string& line) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const std::string whole = line + "\n";
    const bool ok = write(fd, whole.data(), whole.size()) == static_cast<ssize_t>(whole.size());
    close(fd);
    return ok;
}

std::string escapeField(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

std::string unescapeField(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[++i];
        out += next == 't' ? '\t' : next == 'n' ? '\n' : next;
    }
    return out;
}

std::vector<std::string> splitFields(std::string_view line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(unescapeField(line.substr(start, tab == std::string_view::npos ? tab : tab - start)));
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    return fields;
}

std::optional<sockaddr_storage> forwardTarget(const std::string& folder, const std::string& serial,
                                              std::uint16_t devicePort) {
    const std::optional<std::string> phones = readStateFile(statePath(folder, "phones"));
    if (!phones) return std::nullopt;
    std::size_t start = 0;
    while (start < phones->size()) {
        std::size_t end = phones->find('\n', start);
        if (end == std::string::npos) end = phones->size();
        std::string_view line(phones->data() + start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::vector<std::string> fields = splitFields(line);
        std::uint16_t port = 0;
        if (fields.size() != 3 || fields[0] != serial || !parsePort(fields[1], port) || port != devicePort) continue;
        return parseHostPort(fields[2]);
    }
    return std::nullopt;
}

std::optional<std::uint16_t> parseTcpSpec(std::string_view text) {
    constexpr std::string_view kPrefix = "tcp:";
    std::uint16_t port = 0;
    if (text.substr(0, kPrefix.size()) != kPrefix || !parsePort(text.substr(kPrefix.size()), port))
        return std::nullopt;
    return port;
}

}  // namespace tavin::adbstandin
