// The passcode check of a session: the phone sends a random 64-bit
// challenge, and a right answer is the challenge XOR the 64-bit hash of the
// passcode, word by word.
#pragma once

#include <cstdint>
#include <string_view>

namespace tavin::phonesim {

// FNV-1a, 64-bit, over the passcode's bytes taken as signed 8-bit values
// widened with their sign (so 0x80..0xFF change the upper 56 bits too).
std::uint64_t passcodeHash(std::string_view passcode);

struct ChallengeWords {
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    bool operator==(const ChallengeWords&) const = default;
};

// The answer that proves knowledge of the passcode with this hash.
ChallengeWords expectedAnswer(ChallengeWords challenge, std::uint64_t hash);

}  // namespace tavin::phonesim
