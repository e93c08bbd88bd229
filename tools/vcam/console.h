// Where the daemon tells what happens: one line per event on standard error,
// and the "vcam: ready" line on standard output (or on standard error when
// standard output carries a recorded stream). Lines from several threads
// never interleave: each goes out in one write.
#pragma once

namespace tavin::vcam {

class Console {
public:
    explicit Console(bool readyOnStderr) : readyOnStderr_(readyOnStderr) {}

    // Prints "vcam: " and the formatted text as one line on standard error.
    void line(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Prints "vcam: ready".
    void ready();

private:
    bool readyOnStderr_;
};

}  // namespace tavin::vcam
