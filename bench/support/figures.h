// The figures of a benchmark: repeated runs summed up as their median and
// spread, percentiles of single measurements, and the Markdown table they
// are written in. Both sides of a comparison run in the same process run,
// alternately, so that a busy machine weighs on both alike; a ratio is
// taken run by run and then summed up the same way.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/text_format.h"

namespace tavin::bench {

// The median of several runs and their range.
struct Figure {
    double median = 0.0;
    double low = 0.0;
    double high = 0.0;
    int runs = 0;

    static Figure of(std::vector<double> values);
    // The same figure in another unit.
    Figure scaled(double factor) const { return Figure{median * factor, low * factor, high * factor, runs}; }
    // "12.3 (11.9 - 12.8)" with `decimals` places; "-" without runs.
    std::string text(int decimals) const;
};

// The p-th percentile (0 .. 100) of `samples`, by nearest rank; 0 when empty.
double percentile(std::vector<double> samples, double p);

// The two sides of a comparison over the same runs, and their ratio
// (engine / bare) run by run.
struct Comparison {
    Figure engine;
    Figure bare;
    Figure ratio;
    static Comparison of(const std::vector<double>& engine, const std::vector<double>& bare);
};

// Runs `engine` and `bare` alternately, `runs` times each, and keeps what
// each run returns (a time per item, say).
Comparison compareRuns(int runs, const std::function<double()>& engine, const std::function<double()>& bare);

// Calls `step` until `seconds` have passed (at least `minimum` times) and
// returns the nanoseconds per call.
double nanosecondsPerCall(const std::function<void()>& step, double seconds, int minimum = 3);

class MarkdownTable {
public:
    explicit MarkdownTable(std::vector<std::string> header) : header_(std::move(header)) {}
    void row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
    void print(std::FILE* out) const;

private:
    std::vector<std::string> header_;
    std::vector<std::vector<std::string>> rows_;
};

using tools::formatText;

}  // namespace tavin::bench
