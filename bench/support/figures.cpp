#include "figures.h"

#include <algorithm>
#include <cmath>

#include "platform/clock.h"

namespace tavin::bench {

Figure Figure::of(std::vector<double> values) {
    Figure f;
    if (values.empty()) return f;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    f.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
    f.low = values.front();
    f.high = values.back();
    f.runs = static_cast<int>(n);
    return f;
}

std::string Figure::text(int decimals) const {
    if (runs == 0) return "-";
    if (runs == 1) return formatText("%.*f", decimals, median);
    return formatText("%.*f (%.*f - %.*f)", decimals, median, decimals, low, decimals, high);
}

double percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0.0;
    std::sort(samples.begin(), samples.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(samples.size()));
    const std::size_t index = rank < 1.0 ? 0 : static_cast<std::size_t>(rank) - 1;
    return samples[std::min(index, samples.size() - 1)];
}

Comparison Comparison::of(const std::vector<double>& engine, const std::vector<double>& bare) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < engine.size() && i < bare.size(); ++i)
        if (bare[i] != 0.0) ratios.push_back(engine[i] / bare[i]);
    return Comparison{Figure::of(engine), Figure::of(bare), Figure::of(ratios)};
}

Comparison compareRuns(int runs, const std::function<double()>& engine, const std::function<double()>& bare) {
    std::vector<double> e, b;
    for (int i = 0; i < runs; ++i) {
        // Which side goes first alternates too.
        if (i % 2 == 0) {
            e.push_back(engine());
            b.push_back(bare());
        } else {
            b.push_back(bare());
            e.push_back(engine());
        }
    }
    return Comparison::of(e, b);
}

double nanosecondsPerCall(const std::function<void()>& step, double seconds, int minimum) {
    const double start = platform::processClock();
    double now = start;
    long calls = 0;
    while (calls < minimum || now - start < seconds) {
        step();
        ++calls;
        now = platform::processClock();
    }
    return (now - start) * 1e9 / static_cast<double>(calls);
}

void MarkdownTable::print(std::FILE* out) const {
    auto line = [out](const std::vector<std::string>& cells) {
        std::fputs("|", out);
        for (const std::string& c : cells) std::fprintf(out, " %s |", c.c_str());
        std::fputs("\n", out);
    };
    line(header_);
    std::fputs("|", out);
    for (std::size_t i = 0; i < header_.size(); ++i) std::fputs(i == 0 ? "---|" : "---:|", out);
    std::fputs("\n", out);
    for (const auto& r : rows_) line(r);
    std::fputs("\n", out);
    std::fflush(out);
}

}  // namespace tavin::bench
