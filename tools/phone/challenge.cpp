#include "challenge.h"

namespace tavin::phonesim {

std::uint64_t passcodeHash(std::string_view passcode) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (char c : passcode) {
        auto widened = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int8_t>(c)));
        h ^= widened;
        h *= 0x100000001b3ull;
    }
    return h;
}

ChallengeWords expectedAnswer(ChallengeWords challenge, std::uint64_t hash) {
    return ChallengeWords{challenge.low ^ static_cast<std::uint32_t>(hash),
                          challenge.high ^ static_cast<std::uint32_t>(hash >> 32)};
}

}  // namespace tavin::phonesim
