// Owner of the process's preview manager: the first preview export that
// needs one makes it (with the defaults), Destroy deletes it, and so does
// unloading the library when the host left one. The lock only serialises a
// host that breaks the one-thread rule; the host's thread never waits on
// anything else for it.
#pragma once

#include <memory>
#include <mutex>

#include "platform/d3d9.h"

namespace tavin {

class PreviewManager;
class PreviewPicture;

class PreviewHolder {
public:
    // The process's holder; it lives as long as the library (see
    // engine/engine_context.h).
    static PreviewHolder& process();

    // The manager renders `picture`, which must outlive the holder.
    explicit PreviewHolder(PreviewPicture& picture);
    ~PreviewHolder();
    PreviewHolder(const PreviewHolder&) = delete;
    PreviewHolder& operator=(const PreviewHolder&) = delete;

    // Runs f(manager), making the manager first when there is none.
    template <class F>
    platform::d3d9::HResult withManager(F&& f) {
        std::lock_guard<std::mutex> guard(lock_);
        if (!manager_) makeManager();
        return f(*manager_);
    }
    // The manager's render(); S_OK while there is none.
    platform::d3d9::HResult render();
    // Deletes the manager (Destroy).
    void destroy();

private:
    void makeManager();

    PreviewPicture& picture_;
    std::mutex lock_;
    std::unique_ptr<PreviewManager> manager_;
};

}  // namespace tavin
