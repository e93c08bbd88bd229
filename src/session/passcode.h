// The passcode of a protected phone: its 64-bit hash and the answer to the
// phone's Challenge. The engine keeps neither passcode nor hash; the host
// keeps the hash and hands it back through the passcode hook.
#pragma once

#include <cstdint>

namespace tavin {

class PhoneTransport;
class SessionHandler;

// FNV-1a, 64-bit, over the bytes before the NUL, each byte taken as a
// signed 8-bit value widened with its sign (so 0x80..0xFF change the upper
// 56 bits as well). Null hashes like the empty text (the offset basis).
std::uint64_t passcodeHashOf(const char* passcode);

// Answers a Challenge message on the transport that delivered it (on its
// receive thread): the phone becomes PasscodeRequired, the handler's
// passcodeHash hook is asked for the hash and, unless it is 0, the answer
// {0, low ^ hash low, high ^ hash high} is sent. A Challenge too short to
// carry both words is ignored.
void answerChallenge(SessionHandler& handler, PhoneTransport& transport, const std::uint8_t* message,
                     std::uint32_t length);

}  // namespace tavin
