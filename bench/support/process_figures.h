// What a benchmark measures of its own process: CPU time (the whole
// process, one thread), resident memory, and results handed from a child
// process that ran one measurement to the parent that sums the runs up.
//
// Measurements that open the engine run in a child process each (the
// benchmark runs itself again with the child's arguments): an engine
// instance is opened once per process, and a fresh process keeps memory,
// CPU and allocation counts of one run apart from the next.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "figures.h"

namespace tavin::bench {

double processCpuSeconds();
double threadCpuSeconds(pthread_t thread);
// Resident memory of this process (VmRSS), and its shared-memory part
// (RssShmem: pages of shared regions, counted in every process that maps
// them).
std::uint64_t residentBytes();
std::uint64_t residentSharedBytes();
// Bytes in a MB, as the tables give memory.
inline constexpr double kMegabyte = 1024.0 * 1024.0;

// A child's results: "result NAME VALUE" lines on its standard output.
using Results = std::map<std::string, std::vector<double>>;
void reportResult(const std::string& name, double value);
// Adds the values of `from` to those of the same names in `into`.
void appendResults(Results& into, const Results& from);

// A comparison as results NAME.engine, NAME.bare and NAME.ratio (each as
// median, low and high), and back.
void reportComparison(const std::string& name, const Comparison& c);
Comparison comparisonResult(const Results& results, const std::string& name);
// The first value of a result; 0 when there is none.
double resultValue(const Results& results, const std::string& name);

// Runs this program again with `args` and gathers its results; nothing when
// it failed or took longer than `timeoutSeconds` (it is killed then). Its
// other output goes to this process's standard error.
std::optional<Results> runChild(const std::vector<std::string>& args, double timeoutSeconds);

// The folder of this program (build/bench).
std::string programFolder();

}  // namespace tavin::bench
