#include "media/frame_pair.h"

extern "C" {
#include <libavutil/frame.h>
}

#include "engine/error_record.h"
#include "platform/byte_order.h"
#include "platform/clock.h"

namespace tavin {

FramePair::FramePair() {
    for (Entry& e : entries_) {
        e.picture = av_frame_alloc();
        if (!e.picture) recordError(errors::kFramePictureAlloc);
    }
}

FramePair::~FramePair() {
    for (Entry& e : entries_) av_frame_free(&e.picture);
}

AVFrame* FramePair::AcquireFrame() {
    for (int step = 0; step < kAcquireSteps; ++step) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (entries_[0].state == State::Free || entries_[1].state == State::Free) break;
        }
        platform::sleepMs(kAcquireStepMs);
    }
    std::lock_guard<std::mutex> guard(lock_);
    int chosen;
    if (entries_[0].state == State::Free) {
        chosen = 0;
    } else if (entries_[1].state == State::Free) {
        chosen = 1;
    } else {
        chosen = bitsToFloat(entries_[1].tagBits) > bitsToFloat(entries_[0].tagBits) ? 0 : 1;
    }
    entries_[chosen].state = State::Busy;
    return entries_[chosen].picture;
}

int FramePair::entryOf(const AVFrame* picture) const {
    if (!picture) return -1;
    for (int i = 0; i < 2; ++i) {
        if (entries_[i].picture == picture) return i;
    }
    return -1;
}

void FramePair::markReady(const AVFrame* picture, std::uint32_t tagBits) {
    std::lock_guard<std::mutex> guard(lock_);
    const int i = entryOf(picture);
    if (i < 0) return;
    entries_[i].state = State::Ready;
    entries_[i].tagBits = tagBits;
}

std::optional<FramePair::Taken> FramePair::takeReady() {
    std::lock_guard<std::mutex> guard(lock_);
    const bool ready0 = entries_[0].state == State::Ready;
    const bool ready1 = entries_[1].state == State::Ready;
    int chosen;
    if (ready0 && ready1) {
        chosen = bitsToFloat(entries_[1].tagBits) <= bitsToFloat(entries_[0].tagBits) ? 1 : 0;
    } else if (ready0) {
        chosen = 0;
    } else if (ready1) {
        chosen = 1;
    } else {
        return std::nullopt;
    }
    entries_[chosen].state = State::Busy;
    return Taken{chosen, entries_[chosen].picture, entries_[chosen].tagBits};
}

void FramePair::release(int entry) {
    if (entry != 0 && entry != 1) return;
    std::lock_guard<std::mutex> guard(lock_);
    entries_[entry].state = State::Free;
}

void FramePair::clear() {
    std::lock_guard<std::mutex> guard(lock_);
    for (Entry& e : entries_) {
        e.state = State::Free;
        e.tagBits = 0;
    }
}

}  // namespace tavin
