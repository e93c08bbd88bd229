#include "common/png_writer.h"

#include <array>

namespace tavin::tools {
namespace {

constexpr std::size_t kStoredBlockMax = 65'535;

const std::array<std::uint32_t, 256>& crcTable() {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t length) {
    const auto& table = crcTable();
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void putBe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 24));
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

// Completes the chunk opened at `lengthAt`, whose data ends `out`: fills in
// its length and appends its CRC.
void closeChunk(std::vector<std::uint8_t>& out, std::size_t lengthAt) {
    const std::size_t dataLength = out.size() - lengthAt - 8;
    const auto length = static_cast<std::uint32_t>(dataLength);
    out[lengthAt] = static_cast<std::uint8_t>(length >> 24);
    out[lengthAt + 1] = static_cast<std::uint8_t>(length >> 16);
    out[lengthAt + 2] = static_cast<std::uint8_t>(length >> 8);
    out[lengthAt + 3] = static_cast<std::uint8_t>(length);
    putBe32(out, crc32(out.data() + lengthAt + 4, dataLength + 4));  // type and data
}

std::size_t openChunk(std::vector<std::uint8_t>& out, const char type[4]) {
    const std::size_t at = out.size();
    putBe32(out, 0);
    out.insert(out.end(), type, type + 4);
    return at;
}

// Feeds the zlib stream of stored blocks, one byte at a time as scanlines are
// produced, and keeps the Adler-32 sum of the uncompressed bytes.
class StoredDeflate {
public:
    StoredDeflate(std::vector<std::uint8_t>& out, std::size_t total) : out_(out), remaining_(total) {
        out_.push_back(0x78);  // deflate, 32 KiB window
        out_.push_back(0x01);  // no preset dictionary, fastest; 0x7801 % 31 == 0
    }
    void put(const std::uint8_t* data, std::size_t length) {
        while (length > 0) {
            if (inBlock_ == 0) startBlock();
            std::size_t n = length < inBlock_ ? length : inBlock_;
            out_.insert(out_.end(), data, data + n);
            for (std::size_t i = 0; i < n; ++i) {
                a_ = (a_ + data[i]) % 65'521;
                b_ = (b_ + a_) % 65'521;
            }
            data += n;
            length -= n;
            inBlock_ -= n;
            remaining_ -= n;
        }
    }
    void finish() { putBe32(out_, (b_ << 16) | a_); }

private:
    void startBlock() {
        const std::size_t n = remaining_ < kStoredBlockMax ? remaining_ : kStoredBlockMax;
        const bool last = n == remaining_;
        out_.push_back(last ? 1 : 0);  // BFINAL, BTYPE 00 (stored)
        const auto len = static_cast<std::uint16_t>(n);
        const auto nlen = static_cast<std::uint16_t>(~len);
        out_.push_back(static_cast<std::uint8_t>(len));
        out_.push_back(static_cast<std::uint8_t>(len >> 8));
        out_.push_back(static_cast<std::uint8_t>(nlen));
        out_.push_back(static_cast<std::uint8_t>(nlen >> 8));
        inBlock_ = n;
    }
    std::vector<std::uint8_t>& out_;
    std::size_t remaining_;
    std::size_t inBlock_ = 0;
    std::uint32_t a_ = 1, b_ = 0;
};

}  // namespace

std::vector<std::uint8_t> encodePng(const std::uint8_t* rgb, int width, int height, std::size_t stride) {
    const std::size_t w = static_cast<std::size_t>(width), h = static_cast<std::size_t>(height);
    const std::size_t rowBytes = 1 + 3 * w;  // filter byte, then the pixels
    const std::size_t raw = rowBytes * h;
    const std::size_t blocks = (raw + kStoredBlockMax - 1) / kStoredBlockMax;
    std::vector<std::uint8_t> out;
    out.reserve(8 + 25 + 12 + 2 + raw + 5 * blocks + 4 + 12);

    static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    out.insert(out.end(), kSignature, kSignature + 8);

    std::size_t at = openChunk(out, "IHDR");
    putBe32(out, static_cast<std::uint32_t>(width));
    putBe32(out, static_cast<std::uint32_t>(height));
    out.push_back(8);  // bits per sample
    out.push_back(2);  // colour type: RGB
    out.push_back(0);  // deflate
    out.push_back(0);  // adaptive filtering (every row uses filter 0)
    out.push_back(0);  // no interlace
    closeChunk(out, at);

    at = openChunk(out, "IDAT");
    StoredDeflate z(out, raw);
    static const std::uint8_t kNoFilter = 0;
    for (std::size_t y = 0; y < h; ++y) {
        z.put(&kNoFilter, 1);
        z.put(rgb + y * stride, 3 * w);
    }
    z.finish();
    closeChunk(out, at);

    at = openChunk(out, "IEND");
    closeChunk(out, at);
    return out;
}

}  // namespace tavin::tools
