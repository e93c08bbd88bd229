// The current user's registry key Software\Tavin\webcam.
//
// The key is the directory ${XDG_CONFIG_HOME:-$HOME/.config}/Tavin/webcam. A
// value is a file named after it holding the type name (REG_SZ, REG_DWORD,
// REG_BINARY, ...), one newline, then the data bytes (REG_SZ: the text
// without its NUL). Values are replaced atomically (temporary file, rename).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace tavin::platform {

// Result codes, as the Windows registry gives them.
inline constexpr int kRegOk = 0;
inline constexpr int kRegNotFound = 2;        // no such value (or key)
inline constexpr int kRegMoreData = 234;      // the value does not fit the buffer
inline constexpr int kRegUnsupportedType = 1630;  // the value is not a REG_SZ
inline constexpr int kRegAccessDenied = 5;    // any other I/O failure

class RegistryKey {
public:
    // Opens the key; with create, makes its directory when missing. Null on
    // failure (no home directory, no permission, ...).
    static std::unique_ptr<RegistryKey> open(bool create);

    // The key's directory (for tests and tools).
    static std::string keyDirectory();

    // Reads a REG_SZ value into buf with its terminating NUL. The text and
    // its NUL must fit `capacity` bytes, else kRegMoreData. Returns one of
    // the codes above; buf is left NUL-terminated whenever capacity > 0.
    int readString(std::string_view name, char* buf, std::size_t capacity) const;

    // Stores a REG_SZ value (replacing any value of that name).
    int writeString(std::string_view name, std::string_view text);

    // Stores a value of any type name with raw data (tests use it to store
    // a REG_DWORD where a string is expected).
    int writeRaw(std::string_view name, std::string_view typeName, std::string_view data);

    // Deletes a value; kRegNotFound when there was none.
    int deleteValue(std::string_view name);

private:
    explicit RegistryKey(std::string dir) : dir_(std::move(dir)) {}
    std::string dir_;
};

}  // namespace tavin::platform
