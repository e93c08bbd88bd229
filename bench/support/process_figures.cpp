#include "process_figures.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/clock.h"

namespace tavin::bench {
namespace {

double seconds(const timespec& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9; }

}  // namespace

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return seconds(t);
}

double threadCpuSeconds(pthread_t thread) {
    clockid_t clock{};
    timespec t{};
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &t) != 0) return 0.0;
    return seconds(t);
}

namespace {

std::uint64_t statusKilobytes(const char* field) {
    std::ifstream status("/proc/self/status");
    const std::string key = std::string(field) + ":";
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) return std::strtoull(line.c_str() + key.size(), nullptr, 10) * 1024;
    }
    return 0;
}

}  // namespace

std::uint64_t residentBytes() { return statusKilobytes("VmRSS"); }
std::uint64_t residentSharedBytes() { return statusKilobytes("RssShmem"); }

void reportResult(const std::string& name, double value) {
    std::printf("result %s %.9g\n", name.c_str(), value);
    std::fflush(stdout);
}

void appendResults(Results& into, const Results& from) {
    for (const auto& [name, values] : from) into[name].insert(into[name].end(), values.begin(), values.end());
}

void reportComparison(const std::string& name, const Comparison& c) {
    for (const auto& [side, figure] : {std::pair{".engine", c.engine}, {".bare", c.bare}, {".ratio", c.ratio}}) {
        reportResult(name + side, figure.median);
        reportResult(name + side + ".low", figure.low);
        reportResult(name + side + ".high", figure.high);
        reportResult(name + side + ".runs", figure.runs);
    }
}

double resultValue(const Results& results, const std::string& name) {
    const auto found = results.find(name);
    return found == results.end() || found->second.empty() ? 0.0 : found->second.front();
}

Comparison comparisonResult(const Results& results, const std::string& name) {
    auto figure = [&](const std::string& side) {
        return Figure{resultValue(results, name + side), resultValue(results, name + side + ".low"),
                      resultValue(results, name + side + ".high"),
                      static_cast<int>(resultValue(results, name + side + ".runs"))};
    };
    return Comparison{figure(".engine"), figure(".bare"), figure(".ratio")};
}

std::string programFolder() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    std::string p(path);
    return p.substr(0, p.rfind('/'));
}

std::optional<Results> runChild(const std::vector<std::string>& args, double timeoutSeconds) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) return std::nullopt;
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        std::vector<std::string> argv{"/proc/self/exe"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> pointers;
        for (std::string& a : argv) pointers.push_back(a.data());
        pointers.push_back(nullptr);
        execv("/proc/self/exe", pointers.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    const double deadline = platform::processClock() + timeoutSeconds;
    bool timedOut = false;
    for (;;) {
        const double left = deadline - platform::processClock();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    if (timedOut) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (timedOut || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench: child %s failed (%s)\n", args.empty() ? "" : args[0].c_str(),
                     timedOut ? "timed out" : "exit status");
        return std::nullopt;
    }
    Results results;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string word, name;
        double value = 0.0;
        if (words >> word >> name >> value && word == "result") {
            results[name].push_back(value);
        } else if (!line.empty()) {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    }
    return results;
}

}  // namespace tavin::bench
