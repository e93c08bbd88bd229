#include "sample_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "driver/file_ops.h"
#include "platform/byte_order.h"

namespace tavin::vcam {
namespace {

// The canonical 44-byte header of a PCM WAV file: a RIFF chunk holding a
// "fmt " chunk and the "data" chunk.
namespace wav {
constexpr std::size_t kHeaderSize = 44;
constexpr std::size_t kRiffId = 0;       // "RIFF"
constexpr std::size_t kRiffSize = 4;     // uint32: file size - 8
constexpr std::size_t kWaveId = 8;       // "WAVE"
constexpr std::size_t kFmtId = 12;       // "fmt "
constexpr std::size_t kFmtSize = 16;     // uint32: 16
constexpr std::size_t kFormat = 20;      // uint16: 1 = PCM
constexpr std::size_t kChannels = 22;    // uint16
constexpr std::size_t kRate = 24;        // uint32: samples per second
constexpr std::size_t kByteRate = 28;    // uint32
constexpr std::size_t kBlockAlign = 32;  // uint16: bytes per sample frame
constexpr std::size_t kBits = 34;        // uint16: bits per sample
constexpr std::size_t kDataId = 36;      // "data"
constexpr std::size_t kDataSize = 40;    // uint32: bytes of samples
constexpr std::uint32_t kFmtChunkBytes = 16;
constexpr std::uint16_t kPcm = 1;
constexpr std::uint16_t kChannelCount = 1;
constexpr std::uint32_t kSampleRate = 48'000;
constexpr std::uint16_t kBitsPerSample = 16;
constexpr std::uint16_t kBytesPerFrame = kChannelCount * kBitsPerSample / 8;
constexpr std::uint32_t kRiffOverhead = kHeaderSize - 8;  // RIFF size = data + 36
// Sizes written until the file is finished: "length unknown".
constexpr std::uint32_t kUnknownSize = 0xFFFFFFFFu;
// The most sample bytes the 32-bit RIFF size can describe, whole samples.
constexpr std::uint64_t kMaxData = (0xFFFFFFFFull - kRiffOverhead) & ~std::uint64_t{1};
}  // namespace wav

void putTag(std::uint8_t* at, const char (&tag)[5]) { std::memcpy(at, tag, 4); }

}  // namespace

SampleFile::~SampleFile() { finish(); }

bool SampleFile::start() {
    if (kind_ != Kind::Wav) return true;
    std::uint8_t header[wav::kHeaderSize] = {};
    putTag(header + wav::kRiffId, "RIFF");
    writeLe32(header + wav::kRiffSize, wav::kUnknownSize);
    putTag(header + wav::kWaveId, "WAVE");
    putTag(header + wav::kFmtId, "fmt ");
    writeLe32(header + wav::kFmtSize, wav::kFmtChunkBytes);
    writeLe16(header + wav::kFormat, wav::kPcm);
    writeLe16(header + wav::kChannels, wav::kChannelCount);
    writeLe32(header + wav::kRate, wav::kSampleRate);
    writeLe32(header + wav::kByteRate, wav::kSampleRate * wav::kBytesPerFrame);
    writeLe16(header + wav::kBlockAlign, wav::kBytesPerFrame);
    writeLe16(header + wav::kBits, wav::kBitsPerSample);
    putTag(header + wav::kDataId, "data");
    writeLe32(header + wav::kDataSize, wav::kUnknownSize);
    return driverside::writeAll(fd_, header, sizeof header);
}

bool SampleFile::append(const std::uint8_t* bytes, std::uint32_t length) {
    if (fd_ < 0 || !failure_.empty()) return false;
    if (kind_ == Kind::Wav && dataBytes_ + length > wav::kMaxData) {
        failure_ = "the WAV file reached its 4 GiB limit";
        return false;
    }
    if (!driverside::writeAll(fd_, bytes, length)) {
        failure_ = std::strerror(errno);
        return false;
    }
    dataBytes_ += length;
    return true;
}

void SampleFile::finish() {
    if (fd_ < 0) return;
    if (kind_ == Kind::Wav && ::lseek(fd_, 0, SEEK_CUR) >= 0) {
        std::uint8_t size[4];
        writeLe32(size, static_cast<std::uint32_t>(dataBytes_ + wav::kRiffOverhead));
        bool ok = ::pwrite(fd_, size, sizeof size, wav::kRiffSize) == sizeof size;
        writeLe32(size, static_cast<std::uint32_t>(dataBytes_));
        ok = ok && ::pwrite(fd_, size, sizeof size, wav::kDataSize) == sizeof size;
        (void)ok;  // a file that cannot take its sizes keeps "length unknown"
    }
    if (ownsFd_) ::close(fd_);
    fd_ = -1;
}

}  // namespace tavin::vcam
