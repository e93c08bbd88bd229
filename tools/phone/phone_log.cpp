#include "phone_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace tavin::phonesim {

namespace {

std::atomic<bool> gMessageLog{true};
std::mutex gLogLock;

void writeLine(const char* format, va_list args) {
    char line[1024];
    int n = std::vsnprintf(line, sizeof line, format, args);
    if (n < 0) return;
    std::lock_guard<std::mutex> lock(gLogLock);
    std::fprintf(stderr, "phone: %s\n", line);
    std::fflush(stderr);
}

}  // namespace

void setMessageLogEnabled(bool enabled) { gMessageLog.store(enabled); }
bool messageLogEnabled() { return gMessageLog.load(); }

void logLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeLine(format, args);
    va_end(args);
}

void logMessage(const char* format, ...) {
    if (!gMessageLog.load()) return;
    va_list args;
    va_start(args, format);
    writeLine(format, args);
    va_end(args);
}

}  // namespace tavin::phonesim
