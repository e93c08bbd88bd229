// Where a driver-side daemon tells what happens: one line per event on
// standard error, each starting with the daemon's name, and the "NAME: ready"
// line on standard output (or on standard error when standard output carries
// a recorded stream). Lines from several threads never interleave: each goes
// out in one write.
#pragma once

#include <string>

namespace tavin::driverside {

class Console {
public:
    Console(std::string name, bool readyOnStderr) : name_(std::move(name)), readyOnStderr_(readyOnStderr) {}

    // Prints "NAME: " and the formatted text as one line on standard error.
    void line(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Prints "NAME: ready".
    void ready();

private:
    const std::string name_;
    const bool readyOnStderr_;
};

}  // namespace tavin::driverside
