// Named kernel objects shared between processes: a robust mutex, a
// manual-reset event and the camera driver's shared region.
//
// A Windows-style object name "Local\X" or "Global\X" maps to the POSIX
// shared-memory object "/Local.X" or "/Global.X" (/dev/shm/Local.X). Objects
// that everyone must open are created with mode 0666, set explicitly. The
// byte layouts of the mutex and event objects are in docs/platform-objects.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tavin::platform {

// "Local\X" -> "/Local.X"; any other name gets a leading "/" and its
// backslashes replaced by '.'.
std::string sharedObjectName(std::string_view windowsName);

enum class LockResult {
    Acquired,   // the caller holds the mutex
    Abandoned,  // the caller holds it; the previous holder died holding it
    TimedOut,   // not acquired within the bound
    Failed,     // not acquired; the object is unusable
};

inline bool holds(LockResult r) { return r == LockResult::Acquired || r == LockResult::Abandoned; }

// A process-shared, robust mutex. Opening creates the object when it does not
// exist; two processes opening at once get the same, fully initialised mutex.
// Like the Windows object it is owned by a thread and recursive: the holding
// thread may lock it again and releases it after as many unlock() calls.
class NamedMutex {
public:
    // Null when the object can be neither created nor opened, or is not a
    // mutex of this layout. Waits at most about a second for another process
    // that is initialising the object at the same moment.
    static std::unique_ptr<NamedMutex> open(std::string_view windowsName);
    // Removes the name (the driver side does this when it shuts down).
    static void unlink(std::string_view windowsName);
    // Gives back the holds the destroying thread took through this object.
    ~NamedMutex();

    // Waits at most timeoutMs (a negative value counts as 0).
    LockResult lock(int timeoutMs);
    // Releases one hold taken through this object by the calling thread;
    // does nothing when it holds none.
    void unlock();

private:
    NamedMutex() = default;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A manual-reset event, initially not signalled.
class NamedEvent {
public:
    static std::unique_ptr<NamedEvent> open(std::string_view windowsName);
    static void unlink(std::string_view windowsName);
    ~NamedEvent();

    void set();
    void reset();
    bool isSet() const;
    // Returns true when the event is (or becomes) signalled within timeoutMs
    // (a negative value counts as 0).
    bool wait(int timeoutMs);

private:
    NamedEvent() = default;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A mapped shared-memory region.
class SharedRegion {
public:
    // The engine's side: opens an existing object of at least `size` bytes
    // and maps `size` bytes read-write. A missing object, or one smaller than
    // `size`, gives null. Never creates or unlinks.
    static std::unique_ptr<SharedRegion> openExisting(std::string_view windowsName, std::size_t size);
    // The driver side: creates (or reuses) the object with mode 0666, sized
    // to `size`, and maps it.
    static std::unique_ptr<SharedRegion> create(std::string_view windowsName, std::size_t size);
    static void unlink(std::string_view windowsName);
    ~SharedRegion();

    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    // Sets `length` bytes from `offset` to zero, for every process that
    // maps the region. Whole pages inside the range are handed back to the
    // system (they read as zeros and take no memory until written again);
    // only the partial pages at its ends are written.
    void zero(std::size_t offset, std::size_t length);

private:
    SharedRegion(std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace tavin::platform
