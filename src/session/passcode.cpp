#include "session/passcode.h"

#include "session/protocol.h"
#include "session/session_handler.h"

namespace tavin {

std::uint64_t passcodeHashOf(const char* passcode) {
    constexpr std::uint64_t kOffsetBasis = 0xcbf29ce484222325ull;
    constexpr std::uint64_t kPrime = 0x100000001b3ull;
    std::uint64_t h = kOffsetBasis;
    if (passcode == nullptr) return h;
    for (const char* p = passcode; *p != '\0'; ++p) {
        const auto widened = static_cast<std::int64_t>(static_cast<std::int8_t>(*p));
        h ^= static_cast<std::uint64_t>(widened);
        h *= kPrime;
    }
    return h;
}

void answerChallenge(SessionHandler& handler, PhoneTransport& transport, const std::uint8_t* message,
                     std::uint32_t length) {
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    if (!protocol::parseChallenge(message, length, low, high)) return;

    handler.setPhoneState(transport, PhoneState::PasscodeRequired);
    const std::uint64_t hash = handler.passcodeHash(transport.id());
    if (hash == 0) return;  // no passcode known: the phone stays PasscodeRequired

    const auto answer = protocol::buildChallengeAnswer(low ^ static_cast<std::uint32_t>(hash),
                                                       high ^ static_cast<std::uint32_t>(hash >> 32));
    transport.send(answer.data(), answer.size());
}

}  // namespace tavin
