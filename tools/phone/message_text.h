// Log text of the messages an engine sends to the phone: the type name and
// its decoded fields on one line, e.g. "rx FormatRequest codec=1 1280x720@30".
#pragma once

#include <cstdint>
#include <string>

namespace tavin::phonesim {

// `message` holds one whole message of `length` bytes. Fields are read only
// inside the message: a message too short for its layout is described as
// such. Challenge answers are not described here; the session judges and
// logs them itself. Empty for a Challenge.
std::string describeEngineMessage(const std::uint8_t* message, std::uint32_t length);

// A text field shown in a log line: at most `limit` bytes up to the first
// NUL, with bytes outside printable ASCII written as \xNN.
std::string printableText(const std::uint8_t* text, std::size_t limit);

}  // namespace tavin::phonesim
