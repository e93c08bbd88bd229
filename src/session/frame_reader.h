// Gathers the framed messages of one session's byte stream.
//
// One buffer of the largest message size, allocated once per receive loop;
// a message is read into it in place. The reader says where the next bytes
// go and how many may be read, never more than the current message still
// needs, so that a read never crosses into the next message. Both
// transports read through it; what they do at the limits is theirs.
#pragma once

#include <cstdint>
#include <memory>

#include "session/protocol.h"

namespace tavin {

class FrameReader {
public:
    FrameReader();
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // The size the current message needs in all: the header size while
    // fewer bytes are held, else the header's length.
    std::uint32_t wanted() const { return protocol::bytesWanted(buffer_.get(), have_); }
    // The header announces more than the largest message.
    bool oversize() const { return wanted() > protocol::kMaxMessage; }

    // Where the next bytes go, and at most how many (checked oversize()
    // first; 0 once the message is whole).
    std::uint8_t* tail() { return buffer_.get() + have_; }
    std::uint32_t room() const;

    // Counts `count` bytes read into tail(); true when a whole message is
    // held (at least the header, and at least the header's length).
    bool add(std::uint32_t count);

    const std::uint8_t* message() const { return buffer_.get(); }
    std::uint32_t have() const { return have_; }
    // The header's fields; valid once the header is held.
    std::uint32_t length() const { return protocol::headerLength(buffer_.get()); }
    std::uint8_t type() const { return protocol::headerType(buffer_.get()); }

    // Starts the next message at the beginning of the buffer, remembering
    // the length and type of the one just handled.
    void next();
    // The last message handled (0 and 0 before the first).
    std::uint32_t previousLength() const { return previousLength_; }
    unsigned previousType() const { return previousType_; }

private:
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::uint32_t have_ = 0;
    std::uint32_t previousLength_ = 0;
    unsigned previousType_ = 0;
};

}  // namespace tavin
