#include "output/preview_picture.h"

#include <new>

namespace tavin {

std::uint8_t* PreviewPicture::beginWrite() {
    if (ready()) return nullptr;
    std::call_once(allocated_, [this] { pixels_.reset(new (std::nothrow) std::uint8_t[kBytes]); });
    return pixels_.get();
}

void PreviewPicture::finishWrite(int width, int height) {
    if (!pixels_ || width <= 0 || height <= 0 || width > kMaxWidth || height > kMaxHeight) return;
    width_.store(width, std::memory_order_relaxed);
    height_.store(height, std::memory_order_relaxed);
    ready_.store(1, std::memory_order_release);
}

}  // namespace tavin
