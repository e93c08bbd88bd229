// The two decoded pictures of an engine instance. The decoding thread
// decodes into one entry while the other may still wait to be published;
// each entry is free, busy (being decoded into or published) or ready
// (decoded, not yet published). The pair outlives the decoders of the
// instance's streams; its pictures are allocated once, at construction.
//
// Tags are the phone's f32 time values, kept as their 32 bits and compared
// as floats wherever an older and a newer picture are told apart.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

struct AVFrame;

namespace tavin {

class FramePair {
public:
    // How long AcquireFrame waits for a free entry: kAcquireSteps sleeps of
    // kAcquireStepMs, about 100 ms.
    static constexpr int kAcquireSteps = 100;
    static constexpr int kAcquireStepMs = 1;

    FramePair();  // a picture that cannot be allocated is recorded ("ob" 16)
    ~FramePair();
    FramePair(const FramePair&) = delete;
    FramePair& operator=(const FramePair&) = delete;

    // The picture to decode into, marked busy: a free entry (entry 0 first),
    // or, when none became free within about 100 ms, the entry with the
    // older tag. Null when that entry has no picture.
    AVFrame* AcquireFrame();

    // The entry holding `picture` is ready with the packet's tag.
    void markReady(const AVFrame* picture, std::uint32_t tagBits);

    struct Taken {
        int entry;
        AVFrame* picture;
        std::uint32_t tagBits;
    };
    // Takes a ready entry for publishing and marks it busy: of two ready
    // ones the older (entry 1 on equal tags). Nothing when none is ready.
    std::optional<Taken> takeReady();
    // Publishing is done with an entry taken by takeReady().
    void release(int entry);

    // Both entries free with tag 0: a new stream starts, or a decode
    // attempt gave no picture.
    void clear();

private:
    enum class State { Free, Busy, Ready };
    struct Entry {
        State state = State::Free;
        std::uint32_t tagBits = 0;
        AVFrame* picture = nullptr;
    };
    // Index of the entry holding `picture`; -1 for none.
    int entryOf(const AVFrame* picture) const;

    std::mutex lock_;
    Entry entries_[2];
};

}  // namespace tavin
