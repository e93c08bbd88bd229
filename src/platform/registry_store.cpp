// The current user's registry key as a directory of value files.
//
// A value file holds "<type name>\n<data>". Reads are bounded: a string read
// never takes more than the header and `capacity` bytes from the file, however
// large the file has grown. Writes go to a temporary file in the key's
// directory that is then renamed over the value, so a reader sees either the
// old value or the new one, never a torn one.
#include "platform/registry_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tavin::platform {

namespace {

constexpr std::string_view kStringType = "REG_SZ";

// The longest type name we accept, newline excluded. The longest name the
// registry knows has 30 characters.
constexpr std::size_t kMaxTypeName = 63;
constexpr std::size_t kMaxHeader = kMaxTypeName + 1;

// A value name becomes a file name inside the key's directory: it must name
// exactly one entry there. Names starting with '.' are refused so that they
// can never meet the temporary files of a write; the length bound leaves
// room in a file name for the temporary file's affixes.
constexpr std::size_t kMaxValueName = 200;

bool validValueName(std::string_view name) {
    if (name.empty() || name.size() > kMaxValueName || name.front() == '.') return false;
    for (char c : name) {
        if (c == '/' || c == '\0') return false;
    }
    return true;
}

bool validTypeName(std::string_view type) {
    if (type.empty() || type.size() > kMaxTypeName) return false;
    for (char c : type) {
        if (c == '\n' || c == '\0') return false;
    }
    return true;
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p: makes every missing directory of `path`.
bool makeDirectories(const std::string& path) {
    if (path.empty()) return false;
    std::string partial;
    partial.reserve(path.size());
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        partial.assign(path, 0, next);
        if (!partial.empty() && partial != "/") {
            if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
        }
        pos = next + 1;
    }
    return isDirectory(path);
}

// Reads up to `size` bytes at `offset`, retrying short and interrupted
// reads; returns the count read (short only at end of file) or -1.
ssize_t readFully(int fd, void* out, std::size_t size, off_t offset) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t r = ::pread(fd, static_cast<char*>(out) + done, size - done,
                            offset + static_cast<off_t>(done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        done += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

bool writeFully(int fd, const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t r = ::write(fd, data + done, size - done);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) return false;
        done += static_cast<std::size_t>(r);
    }
    return true;
}

struct FileCloser {
    int fd;
    ~FileCloser() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::string RegistryKey::keyDirectory() {
    std::string base;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] != '\0') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] == '\0') return {};
        base = home;
        base += "/.config";
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/Tavin/webcam";
}

std::unique_ptr<RegistryKey> RegistryKey::open(bool create) {
    std::string dir = keyDirectory();
    if (dir.empty()) return nullptr;
    if (create) {
        if (!makeDirectories(dir)) return nullptr;
    } else if (!isDirectory(dir)) {
        return nullptr;
    }
    return std::unique_ptr<RegistryKey>(new RegistryKey(std::move(dir)));
}

int RegistryKey::readString(std::string_view name, char* buf, std::size_t capacity) const {
    if (capacity > 0) buf[0] = '\0';
    if (!validValueName(name)) return kRegNotFound;

    std::string path = dir_ + "/" + std::string(name);
    FileCloser fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (fd.fd < 0) return errno == ENOENT || errno == ENOTDIR ? kRegNotFound : kRegAccessDenied;

    struct stat st {};
    if (::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) return kRegAccessDenied;

    char header[kMaxHeader];
    ssize_t got = readFully(fd.fd, header, sizeof header, 0);
    if (got < 0) return kRegAccessDenied;
    const void* newline = std::memchr(header, '\n', static_cast<std::size_t>(got));
    // No type line within the bound: whatever this is, it is no string.
    if (newline == nullptr) return kRegUnsupportedType;
    std::size_t typeLength = static_cast<std::size_t>(static_cast<const char*>(newline) - header);
    if (std::string_view(header, typeLength) != kStringType) return kRegUnsupportedType;

    // The text and its NUL must fit: when the data fills all `capacity`
    // bytes there is no room left for the NUL. Nothing beyond is read.
    ssize_t text = readFully(fd.fd, buf, capacity, static_cast<off_t>(typeLength + 1));
    if (text < 0 || static_cast<std::size_t>(text) >= capacity) {
        if (capacity > 0) buf[0] = '\0';
        return text < 0 ? kRegAccessDenied : kRegMoreData;
    }
    buf[text] = '\0';
    return kRegOk;
}

int RegistryKey::writeString(std::string_view name, std::string_view text) {
    return writeRaw(name, kStringType, text);
}

int RegistryKey::writeRaw(std::string_view name, std::string_view typeName, std::string_view data) {
    if (!validValueName(name) || !validTypeName(typeName)) return kRegAccessDenied;

    std::string target = dir_ + "/" + std::string(name);
    std::string temp = dir_ + "/.tmp." + std::string(name) + ".XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return kRegAccessDenied;

    bool ok = ::fchmod(fd, 0600) == 0 && writeFully(fd, typeName.data(), typeName.size()) &&
              writeFully(fd, "\n", 1) && writeFully(fd, data.data(), data.size()) && ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(temp.c_str(), target.c_str()) == 0) return kRegOk;
    ::unlink(temp.c_str());
    return kRegAccessDenied;
}

int RegistryKey::deleteValue(std::string_view name) {
    if (!validValueName(name)) return kRegNotFound;
    std::string path = dir_ + "/" + std::string(name);
    if (::unlink(path.c_str()) == 0) return kRegOk;
    return errno == ENOENT || errno == ENOTDIR ? kRegNotFound : kRegAccessDenied;
}

}  // namespace tavin::platform
