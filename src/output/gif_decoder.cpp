// GIF decoding: the stream of blocks, LZW image data row by row, and the
// composing of each image onto the canvas.
//
// Images are decoded one row at a time and each row is composed at once, so
// that an image larger than the screen costs no more memory than one row.
#include "output/gif_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "output/gif_format.h"
#include "platform/byte_order.h"

namespace tavin {
namespace {

using namespace gif_format;

constexpr int kDisposeToBackground = 2;

constexpr int kMinCodeSize = 1;
constexpr int kMaxCodeSize = 8;  // colour indexes are bytes

constexpr std::size_t kMaxColours = 256;

// Reads bytes of the data; a byte past the end reads as 0.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
    std::uint8_t byte() { return at_ < data_.size() ? data_[at_++] : 0; }
    std::uint16_t le16() {
        const std::uint8_t b[2] = {byte(), byte()};
        return readLe16(b);
    }
    void skip(std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) byte();
    }

private:
    std::span<const std::uint8_t> data_;
    std::size_t at_ = 0;
};

// A colour table: R, G, B of 256 entries, black beyond the entries read.
using ColourTable = std::array<std::uint8_t, 3 * kMaxColours>;

// Reads the table a descriptor's flags announce: 2^(n+1) entries.
void readTable(Reader& in, std::uint8_t flags, ColourTable& table) {
    table.fill(0);
    const std::size_t entries = std::size_t{2} << (flags & kTableSizeMask);
    for (std::size_t i = 0; i < 3 * entries; ++i) table[i] = in.byte();
}

// The bytes of a run of data sub-blocks (a length byte 1..255, then that
// many bytes), ended by a zero length.
class SubBlocks {
public:
    explicit SubBlocks(Reader& in) : in_(in) {}
    // False once the zero length was read.
    bool next(std::uint8_t& b) {
        while (left_ == 0) {
            if (ended_) return false;
            left_ = in_.byte();
            if (left_ == 0) ended_ = true;
        }
        --left_;
        b = in_.byte();
        return true;
    }
    // Skips everything up to and including the zero length.
    void skipRest() {
        for (;;) {
            in_.skip(left_);
            left_ = 0;
            if (ended_) return;
            left_ = in_.byte();
            if (left_ == 0) ended_ = true;
        }
    }

private:
    Reader& in_;
    std::size_t left_ = 0;
    bool ended_ = false;
};

// GIF's variable-width LZW, producing colour indexes row by row.
class LzwRows {
public:
    LzwRows(SubBlocks& data, int minCodeSize)
        : data_(data), clear_(1u << minCodeSize), end_(clear_ + 1), minCodeSize_(minCodeSize) {
        for (unsigned c = 0; c < clear_; ++c) {
            suffix_[c] = static_cast<std::uint8_t>(c);
            first_[c] = static_cast<std::uint8_t>(c);
        }
        reset();
    }

    // Fills one row of `width` indexes; what the data does not reach stays 0.
    void row(std::uint8_t* out, std::size_t width) {
        // Only what the previous row wrote can be non-zero.
        std::memset(out, 0, std::min(filled_, width));
        filled_ = fill(out, width);
    }

    // The end code came, or the data ended.
    bool finished() const { return finished_ && pending_ == 0; }

private:
    // Decodes into `out` until the row is full, the data ends or a code
    // cannot be decoded; returns how many indexes it wrote.
    std::size_t fill(std::uint8_t* out, std::size_t width) {
        std::size_t x = 0;
        while (x < width) {
            if (pending_ > 0) {
                out[x++] = stack_[--pending_];
                continue;
            }
            if (finished_) break;
            unsigned code;
            if (!readCode(code) || code == end_) {
                finished_ = true;
                break;
            }
            if (code == clear_) {
                reset();
                continue;
            }
            if (code < next_) {
                push(code);
                if (previous_ >= 0) add(static_cast<unsigned>(previous_), first_[code]);
            } else if (code == next_ && previous_ >= 0 && next_ < kMaxCodes) {
                // The string of the previous code plus its own first index.
                const std::uint8_t head = first_[static_cast<std::size_t>(previous_)];
                stack_[pending_++] = head;
                push(static_cast<unsigned>(previous_));
                add(static_cast<unsigned>(previous_), head);
            } else {
                // Not decodable: the rest of this row keeps index 0, and the
                // next code starts afresh (it adds no entry).
                previous_ = -1;
                break;
            }
            previous_ = static_cast<int>(code);
        }
        return x;
    }

    void reset() {
        width_ = minCodeSize_ + 1;
        next_ = clear_ + 2;
        previous_ = -1;
    }

    bool readCode(unsigned& code) {
        while (bitCount_ < width_) {
            std::uint8_t b;
            if (!data_.next(b)) return false;
            bits_ |= static_cast<std::uint32_t>(b) << bitCount_;
            bitCount_ += 8;
        }
        code = bits_ & ((1u << width_) - 1);
        bits_ >>= width_;
        bitCount_ -= width_;
        return true;
    }

    // Pushes the string of `code` onto the stack, last index first. Every
    // entry's prefix is a smaller code, so the walk ends.
    void push(unsigned code) {
        while (code >= clear_ + 2) {
            stack_[pending_++] = suffix_[code];
            code = prefix_[code];
        }
        stack_[pending_++] = static_cast<std::uint8_t>(code);
    }

    void add(unsigned prefix, std::uint8_t index) {
        if (next_ >= kMaxCodes) return;  // the table is full: no entries until a clear code
        prefix_[next_] = static_cast<std::uint16_t>(prefix);
        suffix_[next_] = index;
        first_[next_] = first_[prefix];
        ++next_;
        if (next_ == (1u << width_) && width_ < kMaxCodeBits) ++width_;
    }

    SubBlocks& data_;
    const unsigned clear_;
    const unsigned end_;
    const int minCodeSize_;
    int width_ = 0;
    unsigned next_ = 0;
    int previous_ = -1;
    bool finished_ = false;
    std::uint32_t bits_ = 0;
    int bitCount_ = 0;
    std::array<std::uint16_t, kMaxCodes> prefix_{};
    std::array<std::uint8_t, kMaxCodes> suffix_{};
    std::array<std::uint8_t, kMaxCodes> first_{};
    // A string is at most as long as the table has entries, plus the one
    // index the code-equals-next case adds.
    std::array<std::uint8_t, kMaxCodes + 1> stack_{};
    std::size_t pending_ = 0;
    std::size_t filled_ = 0;  // indexes the last row wrote
};

// The graphic control values in force.
struct Control {
    std::uint8_t flags = 0;
    std::uint8_t transparent = 0;
    bool disposeToBackground() const { return ((flags >> kDisposalShift) & kDisposalMask) == kDisposeToBackground; }
};

struct ImageDescriptor {
    int left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
};

// The rows of an image in the order its data holds them: top to bottom, or
// in the four passes of an interlaced image.
class RowOrder {
public:
    RowOrder(int height, bool interlaced) : height_(height), interlaced_(interlaced) {}
    // The next row, or -1 after the last.
    int next() {
        if (!interlaced_) return row_ < height_ ? row_++ : -1;
        while (pass_ < kPasses) {
            if (row_ < height_) {
                const int y = row_;
                row_ += kPassStep[pass_];
                return y;
            }
            if (++pass_ < kPasses) row_ = kPassStart[pass_];
        }
        return -1;
    }

    // Leaves the rest of the current pass out (of an interlaced image).
    void endPass() { row_ = height_; }

private:
    const int height_;
    const bool interlaced_;
    int pass_ = 0;
    int row_ = 0;
};

class Decoder {
public:
    Decoder(std::span<const std::uint8_t> data, const GifLimits& limits) : in_(data), limits_(limits) {}

    IdleAnimation run() {
        IdleAnimation animation;
        const std::uint8_t g = in_.byte(), i = in_.byte(), f = in_.byte();
        if (g != 'G' || i != 'I' || f != 'F') return animation;
        in_.skip(kSignatureSize - 3);  // the version is not checked

        animation.width = in_.le16();
        animation.height = in_.le16();
        const std::uint8_t flags = in_.byte();
        const std::uint8_t background = in_.byte();
        in_.byte();  // aspect ratio
        if (flags & kTableFlag) readTable(in_, flags, global_);
        background_[0] = global_[3 * background];
        background_[1] = global_[3 * background + 1];
        background_[2] = global_[3 * background + 2];

        const std::size_t frameBytes = animation.frameBytes();
        if (frameBytes == 0 || frameBytes > limits_.maxBytes) {
            animation.width = animation.height = 0;
            return animation;
        }
        canvas_.assign(frameBytes, 0);
        width_ = animation.width;
        height_ = animation.height;

        for (;;) {
            const std::uint8_t block = in_.byte();
            if (block == kExtensionIntroducer) {
                extension();
            } else if (block == kImageSeparator) {
                if (animation.frameCount >= limits_.maxFrames ||
                    (static_cast<std::size_t>(animation.frameCount) + 1) * frameBytes > limits_.maxBytes) {
                    break;
                }
                image();
                animation.pixels.insert(animation.pixels.end(), canvas_.begin(), canvas_.end());
                ++animation.frameCount;
            } else {
                break;  // the trailer, or anything else, ends the blocks
            }
        }
        return animation;
    }

private:
    void extension() {
        const std::uint8_t label = in_.byte();
        if (label == kControlLabel) {
            // Only the first sub-block counts, and only with its 4 bytes.
            const std::uint8_t length = in_.byte();
            if (length == 0) return;  // that was the terminator
            if (length == kControlBodySize) {
                control_.flags = in_.byte();
                in_.skip(2);  // the delay: the engine paces the animation itself
                control_.transparent = in_.byte();
            } else {
                in_.skip(length);
            }
        }
        SubBlocks(in_).skipRest();
    }

    void image() {
        ImageDescriptor d;
        d.left = in_.le16();
        d.top = in_.le16();
        d.width = in_.le16();
        d.height = in_.le16();
        const std::uint8_t flags = in_.byte();
        d.interlaced = (flags & kInterlaceFlag) != 0;
        const ColourTable* table = &global_;
        if (flags & kTableFlag) {
            readTable(in_, flags, local_);
            table = &local_;
        }
        const int minCodeSize = in_.byte();
        SubBlocks data(in_);
        // Rows from visibleRows on fall outside the screen (all of them when
        // the image starts right of it or has no width).
        const int visibleRows =
            d.left < width_ && d.width > 0 ? std::min(d.height, height_ - std::min(d.top, height_)) : 0;
        row_.assign(static_cast<std::size_t>(d.width), 0);
        if (minCodeSize < kMinCodeSize || minCodeSize > kMaxCodeSize) {
            for (int y = 0; y < visibleRows; ++y) compose(d, y, *table);  // every index 0
        } else if (visibleRows > 0) {
            auto lzw = std::make_unique<LzwRows>(data, minCodeSize);
            RowOrder order(d.height, d.interlaced);
            for (int y = order.next(); y >= 0; y = order.next()) {
                if (y >= visibleRows) {
                    // Rows go down within a pass: the rest of it is off the
                    // screen too. Top to bottom, that is every later row;
                    // interlaced, a later pass starts higher up again, and
                    // its rows need the data decoded up to them unless it
                    // has ended.
                    if (!d.interlaced) break;
                    if (lzw->finished()) {
                        order.endPass();
                        continue;
                    }
                }
                lzw->row(row_.data(), row_.size());
                if (y < visibleRows) compose(d, y, *table);
            }
        }
        data.skipRest();
    }

    // Composes row y of the image (its indexes in row_) onto the canvas.
    void compose(const ImageDescriptor& d, int y, const ColourTable& table) {
        const int canvasY = d.top + y;
        std::uint8_t* out =
            canvas_.data() + std::size_t{4} * static_cast<std::size_t>(canvasY) * static_cast<std::size_t>(width_);
        for (int x = 0; x < d.width; ++x) {
            const int canvasX = d.left + x;
            if (canvasX >= width_) return;
            std::uint8_t* p = out + 4 * static_cast<std::size_t>(canvasX);
            const std::uint8_t index = row_[static_cast<std::size_t>(x)];
            if (index == control_.transparent) {
                if (control_.disposeToBackground()) {
                    p[0] = background_[2];
                    p[1] = background_[1];
                    p[2] = background_[0];
                    p[3] = 0;
                }
                continue;
            }
            p[0] = table[3 * index + 2];
            p[1] = table[3 * index + 1];
            p[2] = table[3 * index];
            p[3] = 255;
        }
    }

    Reader in_;
    const GifLimits limits_;
    ColourTable global_{};
    ColourTable local_{};
    std::uint8_t background_[3] = {0, 0, 0};  // R, G, B
    Control control_;
    int width_ = 0;
    int height_ = 0;
    std::vector<std::uint8_t> canvas_;  // B, G, R, A
    std::vector<std::uint8_t> row_;
};

}  // namespace

IdleAnimation decodeGif(std::span<const std::uint8_t> data, const GifLimits& limits) {
    return Decoder(data, limits).run();
}

}  // namespace tavin
