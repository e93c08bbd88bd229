// A multicast DNS datagram as the engine's own client reads it: the whole
// message, then what it takes from the records it keeps (names as text,
// instance names under the service type, SRV targets, TXT strings).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "discovery/mdns_message.h"
#include "fuzz_support.h"

using namespace tavin::mdns;

namespace {

// A name read from the wire and written as text reads back as the same name.
void checkName(const DnsName& name) {
    FUZZ_CHECK(name.wireSize() >= 1 && name.wireSize() <= kMaxNameWire);
    FUZZ_CHECK(name.firstLabel().size() <= kMaxLabel);
    const std::string text = name.toText();
    if (text.empty()) return;  // the root
    DnsName again;
    FUZZ_CHECK(DnsName::fromText(text, again));
    FUZZ_CHECK(again.equals(name));
}

const DnsName& serviceType() {
    static DnsName type = [] {
        DnsName n;
        DnsName::fromText("_tavinwebcam._tcp.local", n);
        return n;
    }();
    return type;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::unique_ptr<Message> message = std::make_unique<Message>();
    if (!parseMessage(data, size, *message)) return 0;
    const Message& m = *message;
    FUZZ_CHECK(m.questionCount <= kMaxQuestions && m.recordCount <= kMaxRecords);
    for (std::size_t i = 0; i < m.questionCount; ++i) checkName(m.questions[i].name);
    for (std::size_t i = 0; i < m.recordCount; ++i) {
        const Record& r = m.records[i];
        FUZZ_CHECK(r.dataOffset + r.dataLength <= size);
        checkName(r.name);
        switch (r.type) {
            case kTypePtr:
                checkName(r.target);
                if (r.target.isChildOf(serviceType())) FUZZ_CHECK(!r.target.firstLabel().empty());
                break;
            case kTypeSrv:
                checkName(r.target);
                break;
            case kTypeTxt: {
                std::vector<std::string> strings;
                FUZZ_CHECK(parseTxtStrings(data + r.dataOffset, r.dataLength, strings, 16));
                FUZZ_CHECK(strings.size() <= 16);
                for (const std::string& s : strings) FUZZ_CHECK(s.size() <= 255);
                break;
            }
            default:
                break;
        }
    }
    return 0;
}
