// Writes GIF89a files: the generator of the idle animation uses it, and the
// tests build the GIFs they decode with it. Not part of the engine library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tavin::gif {

struct Colour {
    std::uint8_t r = 0, g = 0, b = 0;
};

// Packs codes of varying widths into bytes, least significant bit first, as
// GIF stores its LZW data.
class CodePacker {
public:
    void put(unsigned code, int width);
    // The packed bytes; a last partial byte is padded with zero bits.
    std::vector<std::uint8_t> bytes() const;

private:
    std::vector<std::uint8_t> bytes_;
    std::uint32_t pending_ = 0;
    int pendingBits_ = 0;
};

// LZW-compresses colour indexes (each below 2^minCodeSize) into GIF image
// data: a clear code first, codes up to 12 bits, a clear code whenever the
// table is full, the end code last. Without the code-size byte and the
// sub-block framing.
std::vector<std::uint8_t> lzwCompress(std::span<const std::uint8_t> indexes, int minCodeSize);

// One image of a GIF.
struct ImageBlock {
    int left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    std::span<const Colour> localTable;  // empty: none
    int minCodeSize = 8;
};

// Builds a GIF file block by block. Colour tables are padded with black to
// the next power of two (at least 2 entries).
class GifWriter {
public:
    // Header and logical screen descriptor, then the global colour table when
    // `globalTable` is not empty.
    GifWriter(int width, int height, std::span<const Colour> globalTable, std::uint8_t background = 0);

    // The looping application extension (NETSCAPE2.0); 0 loops forever.
    void loop(std::uint16_t count = 0);
    // A graphic control extension.
    void control(std::uint8_t flags, std::uint16_t delay, std::uint8_t transparent);
    // An image of `indexes`, given top-down row by row (width x height);
    // interlaced images are written in the four passes.
    void image(const ImageBlock& block, std::span<const std::uint8_t> indexes);
    // An image whose LZW data the caller made (e.g. with codes no encoder
    // would write); wrapped into sub-blocks.
    void imageData(const ImageBlock& block, std::span<const std::uint8_t> lzwData);
    void raw(std::span<const std::uint8_t> bytes);
    // Appends the trailer and returns the file.
    std::vector<std::uint8_t> finish();

    const std::vector<std::uint8_t>& bytes() const { return out_; }

private:
    void byte(std::uint8_t b) { out_.push_back(b); }
    void le16(int v);
    void table(std::span<const Colour> colours);
    void descriptor(const ImageBlock& block);
    void subBlocks(std::span<const std::uint8_t> data);

    std::vector<std::uint8_t> out_;
};

// The flags byte of a graphic control extension with disposal `method`
// (0..7) and the transparency flag clear.
std::uint8_t disposalFlags(int method);

// The size field of a colour table of `entries` colours: n such that
// 2^(n+1) >= entries (0..7).
int tableSizeField(std::size_t entries);

}  // namespace tavin::gif
