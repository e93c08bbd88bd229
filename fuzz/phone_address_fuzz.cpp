// Host address texts: the prober's add as EAddPhoneAddress calls it (a C
// string), the export itself without an engine, and the address parser on
// the same bytes with any embedded NUL. The prober has no sink here, so it
// starts no thread and probes nothing.
#include <cstdint>
#include <string>
#include <string_view>

#include "discovery/address_prober.h"
#include "engine.h"
#include "fuzz_support.h"

using namespace tavin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    static AddressProber prober;
    const int result = prober.add(text.c_str());
    FUZZ_CHECK(result == 0 || result == -1);
    FUZZ_CHECK(prober.addressCount() <= kMaxProbedAddresses);
    // Without slot 0 there is no prober to take the address.
    FUZZ_CHECK(EAddPhoneAddress(text.c_str()) == -1);

    ParsedPhoneAddress parsed;
    if (parsePhoneAddress(text, parsed)) {
        FUZZ_CHECK(!parsed.host.empty() && parsed.host.size() <= 255 && parsed.port != 0);
        FUZZ_CHECK(parsed.host.find('\0') == std::string::npos && parsed.host.find('/') == std::string::npos);
        // What parses as a whole parses the same through the export.
        if (text.find('\0') == std::string::npos) FUZZ_CHECK(result == 0);
    }
    return 0;
}
