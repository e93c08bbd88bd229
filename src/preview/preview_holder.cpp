#include "preview/preview_holder.h"

#include "preview/preview_manager.h"

namespace tavin {

PreviewHolder::PreviewHolder(PreviewPicture& picture) : picture_(picture) {}

PreviewHolder::~PreviewHolder() = default;

void PreviewHolder::makeManager() { manager_ = std::make_unique<PreviewManager>(picture_); }

platform::d3d9::HResult PreviewHolder::render() {
    std::lock_guard<std::mutex> guard(lock_);
    return manager_ ? manager_->render() : platform::d3d9::kOk;
}

void PreviewHolder::destroy() {
    std::lock_guard<std::mutex> guard(lock_);
    manager_.reset();
}

}  // namespace tavin
