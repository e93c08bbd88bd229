// Where an audio device records the samples it receives: raw signed 16-bit
// little-endian, or a WAV file (PCM, 48 kHz, one channel, 16-bit) whose
// header carries the real sizes once the file is finished.
#pragma once

#include <cstdint>
#include <string>

namespace tavin::vcam {

class SampleFile {
public:
    enum class Kind { Raw, Wav };

    // Takes `fd`, and closes it at the end when `ownsFd` (standard output
    // is not owned).
    SampleFile(int fd, bool ownsFd, Kind kind) : fd_(fd), ownsFd_(ownsFd), kind_(kind) {}
    ~SampleFile();  // finish()
    SampleFile(const SampleFile&) = delete;
    SampleFile& operator=(const SampleFile&) = delete;

    // Writes a WAV file's header, with sizes that read as "length unknown"
    // until finish(). False (errno set) when it cannot be written.
    bool start();
    // Appends samples. False once the file cannot take them (a failed write,
    // or a WAV file at its 4 GiB limit); failure() then says why, and
    // nothing more is recorded.
    bool append(const std::uint8_t* bytes, std::uint32_t length);
    const std::string& failure() const { return failure_; }
    // Writes the sizes into the header of a WAV file that can seek (not
    // into a pipe) and closes an owned descriptor. Safe to call twice.
    void finish();

private:
    int fd_;
    bool ownsFd_;
    Kind kind_;
    std::uint64_t dataBytes_ = 0;
    std::string failure_;
};

}  // namespace tavin::vcam
