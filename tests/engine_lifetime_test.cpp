// The library's whole life, many times over, in a host process of its own
// (tests/lifetime/engine_cycles): load, four slots opened against the
// driver substitute, a simulated phone streaming into slot 0 and the
// preview, every slot uninitialised, unload; after each unload nothing of
// the library may be left in that process (threads, descriptors, mapped
// files, loaded objects, shared-memory objects, socket files). Built with
// the address sanitizer, LeakSanitizer checks the host at its exit.
#include <cstdlib>
#include <iostream>
#include <string>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/output_support.h"
#include "support/session_support.h"

namespace tavin {
namespace {

// The build gives the count (fewer under the sanitizers); the environment
// variable ENGINE_LIFETIME_CYCLES overrides it (for a quick run by hand).
int cycleCount() {
    const char* text = std::getenv("ENGINE_LIFETIME_CYCLES");
    const int n = text ? std::atoi(text) : 0;
    return n > 0 ? n : ENGINE_LIFETIME_DEFAULT_CYCLES;
}

TEST(EngineLifetime, LoadsRunsAndUnloadsWithoutLeavingAnything) {
    test::TempConfigHome config;
    test::ScopedDeviceDir devices;
    test::Vcam vcam(devices.path(), {});
    ASSERT_TRUE(vcam.ready());
    test::PhoneProcess phone({"--no-log"});
    ASSERT_TRUE(phone.started());

    const int cycles = cycleCount();
    test::ChildProcess host({ENGINE_CYCLES_PATH, "--lib", ENGINE_LIBRARY_PATH, "--cycles", std::to_string(cycles),
                             "--phone", "127.0.0.1:" + std::to_string(phone.sessionPort())});
    // About 3 to 4 s per cycle; the bound only keeps a hung run from
    // hanging the suite.
    const int status = host.wait(std::chrono::seconds(60 + 12 * cycles)).value_or(-1);
    if (status != 0) host.stop();
    // The first cycles' figures, the last one's and everything else.
    const auto lines = host.lines();
    int shown = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const bool cycleLine = lines[i].rfind("cycles: cycle ", 0) == 0 && lines[i].find(" s (open ") != std::string::npos;
        if (!cycleLine || shown++ < 2 || i + 2 >= lines.size()) std::cout << lines[i] << "\n";
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(host.countLines("cycles: " + std::to_string(cycles) + " done"), 1);
}

}  // namespace
}  // namespace tavin
