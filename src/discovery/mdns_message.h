// Multicast DNS messages (RFC 1035 wire format as RFC 6762 uses it): a
// bounds-checked reader and a writer into a fixed buffer.
//
// The reader takes a whole datagram and either accepts all of it or rejects
// it: a header whose counts promise more than the datagram holds, a name
// that runs past the end, a label longer than 63 bytes, a name longer than
// 255 bytes, a compression pointer that does not point strictly before every
// place already read for that name (which rules out loops and forward
// pointers), or record data whose length does not match its type all reject
// the datagram. Nothing outside the datagram is ever read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavin::mdns {

inline constexpr std::uint16_t kTypeA = 1;
inline constexpr std::uint16_t kTypePtr = 12;
inline constexpr std::uint16_t kTypeTxt = 16;
inline constexpr std::uint16_t kTypeAaaa = 28;
inline constexpr std::uint16_t kTypeSrv = 33;
inline constexpr std::uint16_t kTypeAny = 255;
inline constexpr std::uint16_t kClassIn = 1;
// The top bit of a question's class asks for a unicast answer; the top bit
// of a record's class is the cache-flush bit. The class is the low 15 bits.
inline constexpr std::uint16_t kClassTopBit = 0x8000;

inline constexpr std::uint16_t kFlagResponse = 0x8000;
inline constexpr std::uint16_t kFlagAuthoritative = 0x0400;
inline constexpr std::uint16_t kOpcodeMask = 0x7800;
inline constexpr std::uint16_t kRcodeMask = 0x000F;

inline constexpr std::uint16_t kPort = 5353;
inline constexpr std::size_t kHeaderSize = 12;
// The largest message either side handles (the multicast DNS limit).
inline constexpr std::size_t kMaxMessageSize = 9000;
// The wire form of a name, final zero label included, is at most 255 bytes.
inline constexpr std::size_t kMaxNameWire = 255;
inline constexpr std::size_t kMaxLabel = 63;
// A datagram with more entries than this is rejected as a whole.
inline constexpr std::size_t kMaxQuestions = 16;
inline constexpr std::size_t kMaxRecords = 64;

// A domain name in uncompressed wire form: length-prefixed labels ending in
// the zero label. Compared without regard to ASCII case.
class DnsName {
public:
    DnsName() { wire_[0] = 0; }

    // From presentation text ("a.b.local", a trailing dot allowed; "\." and
    // "\\" stand for themselves inside a label, "\DDD" for one byte). False
    // for an empty label, a label over 63 bytes or a name over 255 bytes.
    static bool fromText(std::string_view text, DnsName& out);
    // From wire-form bytes that were already checked by the reader.
    static bool fromWire(const std::uint8_t* wire, std::size_t length, DnsName& out);

    // Puts a label in front ("x" + "b.local" = "x.b.local").
    bool prependLabel(std::string_view label);

    // Presentation text without the trailing dot; '.' and '\' inside a
    // label are escaped with '\', bytes outside printable ASCII as \DDD.
    std::string toText() const;

    bool equals(const DnsName& other) const;
    // True when this name is `parent` with exactly one label in front.
    bool isChildOf(const DnsName& parent) const;
    // The first label's bytes (empty for the root).
    std::string_view firstLabel() const;

    const std::uint8_t* wire() const { return wire_.data(); }
    std::size_t wireSize() const { return size_; }

private:
    std::array<std::uint8_t, kMaxNameWire> wire_{};
    std::size_t size_ = 1;
};

struct Question {
    DnsName name;
    std::uint16_t type = 0;
    std::uint16_t qclass = 0;       // low 15 bits
    bool unicastResponse = false;   // the top bit of the class
};

enum class Section : std::uint8_t { Answer, Authority, Additional };

struct Record {
    Section section = Section::Answer;
    DnsName name;
    std::uint16_t type = 0;
    std::uint16_t rclass = 0;  // low 15 bits
    bool cacheFlush = false;
    std::uint32_t ttl = 0;
    // Where the record data lies in the message.
    std::size_t dataOffset = 0;
    std::size_t dataLength = 0;
    // Decoded data of the types discovery uses.
    DnsName target;  // PTR: the name pointed to; SRV: the host
    std::uint16_t priority = 0, weight = 0, port = 0;  // SRV
    std::array<std::uint8_t, 16> address{};             // A: 4 bytes, AAAA: 16
};

struct Message {
    std::uint16_t id = 0;
    std::uint16_t flags = 0;
    std::size_t questionCount = 0;
    std::size_t recordCount = 0;
    std::array<Question, kMaxQuestions> questions;
    std::array<Record, kMaxRecords> records;

    bool isResponse() const { return (flags & kFlagResponse) != 0; }
    // Standard query or response without an error code.
    bool isPlain() const { return (flags & (kOpcodeMask | kRcodeMask)) == 0; }
};

// Reads a whole datagram into `out`; false when it is malformed (see the
// top of this file). `out` is only meaningful on success.
bool parseMessage(const std::uint8_t* data, std::size_t length, Message& out);

// The character-strings of TXT record data, each at most 255 bytes; at most
// `maxStrings` are taken. False when a string runs past the data.
bool parseTxtStrings(const std::uint8_t* data, std::size_t length, std::vector<std::string>& out,
                     std::size_t maxStrings);

// Builds one message into a caller's buffer. Sections are written in order
// (questions, answers, authority, additional); the header counts are
// written by finish(). Any write that does not fit marks the writer failed
// and every later write is refused. Names are written uncompressed.
class MessageWriter {
public:
    MessageWriter(std::uint8_t* buffer, std::size_t capacity, std::uint16_t id, std::uint16_t flags);

    bool addQuestion(const DnsName& name, std::uint16_t type, std::uint16_t qclass = kClassIn,
                     bool unicastResponse = false);
    bool addPtr(Section section, const DnsName& name, std::uint32_t ttl, const DnsName& target,
                bool cacheFlush = false);
    bool addSrv(Section section, const DnsName& name, std::uint32_t ttl, std::uint16_t port,
                const DnsName& host, bool cacheFlush = false);
    // An empty list writes the one empty string an empty TXT record holds.
    bool addTxt(Section section, const DnsName& name, std::uint32_t ttl, const std::vector<std::string>& strings,
                bool cacheFlush = false);
    bool addA(Section section, const DnsName& name, std::uint32_t ttl, const std::uint8_t address[4],
              bool cacheFlush = false);
    bool addAaaa(Section section, const DnsName& name, std::uint32_t ttl, const std::uint8_t address[16],
                 bool cacheFlush = false);

    // Writes the counts; returns the message length, or 0 when anything
    // failed to fit.
    std::size_t finish();
    bool ok() const { return ok_; }

private:
    bool put(const void* data, std::size_t length);
    bool put16(std::uint16_t v);
    bool put32(std::uint32_t v);
    bool beginRecord(Section section, const DnsName& name, std::uint16_t type, bool cacheFlush, std::uint32_t ttl,
                     std::size_t dataLength);

    std::uint8_t* buffer_;
    std::size_t capacity_;
    std::size_t size_ = 0;
    bool ok_ = true;
    Section section_ = Section::Answer;
    bool recordsStarted_ = false;
    std::uint16_t counts_[4] = {0, 0, 0, 0};  // questions, answers, authority, additional
};

}  // namespace tavin::mdns
