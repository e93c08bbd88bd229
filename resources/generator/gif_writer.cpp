#include "gif_writer.h"

#include <unordered_map>

#include "output/gif_format.h"

namespace tavin::gif {
using namespace gif_format;

void CodePacker::put(unsigned code, int width) {
    pending_ |= static_cast<std::uint32_t>(code) << pendingBits_;
    pendingBits_ += width;
    while (pendingBits_ >= 8) {
        bytes_.push_back(static_cast<std::uint8_t>(pending_ & 0xFF));
        pending_ >>= 8;
        pendingBits_ -= 8;
    }
}

std::vector<std::uint8_t> CodePacker::bytes() const {
    std::vector<std::uint8_t> out = bytes_;
    if (pendingBits_ > 0) out.push_back(static_cast<std::uint8_t>(pending_ & 0xFF));
    return out;
}

std::vector<std::uint8_t> lzwCompress(std::span<const std::uint8_t> indexes, int minCodeSize) {
    const unsigned clear = 1u << minCodeSize;
    const unsigned end = clear + 1;
    CodePacker out;
    std::unordered_map<std::uint32_t, unsigned> table;  // (prefix code << 8) | index -> code
    int width = minCodeSize + 1;
    unsigned next = clear + 2;
    // A decoder widens its codes once it has assigned code 2^width; it
    // assigns each entry one code later than the encoder does, so the
    // encoder widens when its next free code passes 2^width.
    auto put = [&](unsigned code) {
        if (next > (1u << width) && width < kMaxCodeBits) ++width;
        out.put(code, width);
    };
    auto reset = [&] {
        table.clear();
        width = minCodeSize + 1;
        next = clear + 2;
    };

    out.put(clear, width);
    if (!indexes.empty()) {
        unsigned prefix = indexes[0];
        for (std::size_t i = 1; i < indexes.size(); ++i) {
            const std::uint32_t key = (static_cast<std::uint32_t>(prefix) << 8) | indexes[i];
            auto found = table.find(key);
            if (found != table.end()) {
                prefix = found->second;
                continue;
            }
            put(prefix);
            if (next < kMaxCodes) {
                table.emplace(key, next++);
            } else {
                put(clear);
                reset();
            }
            prefix = indexes[i];
        }
        put(prefix);
    }
    put(end);
    return out.bytes();
}

std::uint8_t disposalFlags(int method) {
    return static_cast<std::uint8_t>((method & kDisposalMask) << kDisposalShift);
}

int tableSizeField(std::size_t entries) {
    int n = 0;
    while (n < kTableSizeMask && (std::size_t{2} << n) < entries) ++n;
    return n;
}

GifWriter::GifWriter(int width, int height, std::span<const Colour> globalTable, std::uint8_t background) {
    for (char c : {'G', 'I', 'F', '8', '9', 'a'}) byte(static_cast<std::uint8_t>(c));
    le16(width);
    le16(height);
    constexpr std::uint8_t kColourResolution8 = 0x70;  // bits 4..6: 8 bits per primary
    std::uint8_t flags = kColourResolution8;
    if (!globalTable.empty())
        flags |= static_cast<std::uint8_t>(kTableFlag | tableSizeField(globalTable.size()));
    byte(flags);
    byte(background);
    byte(0);  // no aspect ratio
    if (!globalTable.empty()) table(globalTable);
}

void GifWriter::le16(int v) {
    byte(static_cast<std::uint8_t>(v & 0xFF));
    byte(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}

void GifWriter::table(std::span<const Colour> colours) {
    const std::size_t entries = std::size_t{2} << tableSizeField(colours.size());
    for (std::size_t i = 0; i < entries; ++i) {
        const Colour c = i < colours.size() ? colours[i] : Colour{};
        byte(c.r);
        byte(c.g);
        byte(c.b);
    }
}

void GifWriter::loop(std::uint16_t count) {
    byte(kExtensionIntroducer);
    byte(kApplicationLabel);
    byte(11);
    for (char c : {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'}) byte(static_cast<std::uint8_t>(c));
    byte(3);
    byte(1);  // loop sub-block
    le16(count);
    byte(0);
}

void GifWriter::control(std::uint8_t flags, std::uint16_t delay, std::uint8_t transparent) {
    byte(kExtensionIntroducer);
    byte(kControlLabel);
    byte(kControlBodySize);
    byte(flags);
    le16(delay);
    byte(transparent);
    byte(0);
}

void GifWriter::descriptor(const ImageBlock& block) {
    byte(kImageSeparator);
    le16(block.left);
    le16(block.top);
    le16(block.width);
    le16(block.height);
    std::uint8_t flags = block.interlaced ? kInterlaceFlag : 0;
    if (!block.localTable.empty())
        flags |= static_cast<std::uint8_t>(kTableFlag | tableSizeField(block.localTable.size()));
    byte(flags);
    if (!block.localTable.empty()) table(block.localTable);
}

void GifWriter::subBlocks(std::span<const std::uint8_t> data) {
    for (std::size_t at = 0; at < data.size(); at += kMaxSubBlock) {
        const std::size_t n = data.size() - at < kMaxSubBlock ? data.size() - at : kMaxSubBlock;
        byte(static_cast<std::uint8_t>(n));
        out_.insert(out_.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                    data.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    byte(0);
}

void GifWriter::image(const ImageBlock& block, std::span<const std::uint8_t> indexes) {
    if (!block.interlaced) {
        imageData(block, lzwCompress(indexes, block.minCodeSize));
        return;
    }
    // Rows in the order of the four passes.
    const auto w = static_cast<std::size_t>(block.width);
    std::vector<std::uint8_t> ordered;
    ordered.reserve(indexes.size());
    for (int pass = 0; pass < kPasses; ++pass) {
        for (int y = kPassStart[pass]; y < block.height; y += kPassStep[pass]) {
            const auto row = indexes.subspan(static_cast<std::size_t>(y) * w, w);
            ordered.insert(ordered.end(), row.begin(), row.end());
        }
    }
    imageData(block, lzwCompress(ordered, block.minCodeSize));
}

void GifWriter::imageData(const ImageBlock& block, std::span<const std::uint8_t> lzwData) {
    descriptor(block);
    byte(static_cast<std::uint8_t>(block.minCodeSize));
    subBlocks(lzwData);
}

void GifWriter::raw(std::span<const std::uint8_t> bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }

std::vector<std::uint8_t> GifWriter::finish() {
    byte(kTrailer);
    return out_;
}

}  // namespace tavin::gif
