// The simulator's log: one line per event on stderr, each prefixed "phone:".
//
// Lines about received messages can be switched off (--no-log); status and
// error lines are always written. Safe to call from any thread: a line is
// written whole.
#pragma once

namespace tavin::phonesim {

void setMessageLogEnabled(bool enabled);
bool messageLogEnabled();

// printf-style; the prefix and the newline are added.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The same, only while the message log is enabled.
void logMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tavin::phonesim
