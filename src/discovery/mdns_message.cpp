#include "discovery/mdns_message.h"

#include <cstring>

namespace tavin::mdns {

namespace {

// DNS numbers are big-endian.
std::uint16_t readBe16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

std::uint32_t readBe32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

char lowerAscii(std::uint8_t c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
}

// Reads the (possibly compressed) name that starts at `offset`. `next` gets
// the offset just after the name's bytes at that place. Every compression
// pointer must point strictly below the start of the stretch of labels it
// ends, so each jump goes further back than the one before: no loop and no
// forward pointer can be followed.
bool readName(const std::uint8_t* msg, std::size_t length, std::size_t offset, DnsName& out, std::size_t& next) {
    std::uint8_t wire[kMaxNameWire];
    std::size_t size = 0;
    std::size_t pos = offset;
    std::size_t limit = offset;
    bool jumped = false;
    for (;;) {
        if (pos >= length) return false;
        const std::uint8_t b = msg[pos];
        if ((b & 0xC0) == 0xC0) {
            if (pos + 1 >= length) return false;
            const std::size_t target = (static_cast<std::size_t>(b & 0x3F) << 8) | msg[pos + 1];
            if (target >= limit) return false;
            if (!jumped) {
                next = pos + 2;
                jumped = true;
            }
            limit = target;
            pos = target;
            continue;
        }
        if ((b & 0xC0) != 0) return false;  // the extended label types are not used
        if (b == 0) {
            wire[size++] = 0;
            if (!jumped) next = pos + 1;
            return DnsName::fromWire(wire, size, out);
        }
        if (pos + 1 + b > length) return false;
        if (size + 1 + b + 1 > kMaxNameWire) return false;  // keep room for the zero label
        std::memcpy(wire + size, msg + pos, 1 + static_cast<std::size_t>(b));
        size += 1 + static_cast<std::size_t>(b);
        pos += 1 + static_cast<std::size_t>(b);
    }
}

bool txtWellFormed(const std::uint8_t* data, std::size_t length) {
    std::size_t pos = 0;
    while (pos < length) {
        pos += 1 + static_cast<std::size_t>(data[pos]);
        if (pos > length) return false;
    }
    return true;
}

bool readRecordData(const std::uint8_t* msg, Record& r) {
    const std::size_t end = r.dataOffset + r.dataLength;
    std::size_t next = 0;
    switch (r.type) {
    case kTypeA:
        if (r.dataLength != 4) return false;
        std::memcpy(r.address.data(), msg + r.dataOffset, 4);
        return true;
    case kTypeAaaa:
        if (r.dataLength != 16) return false;
        std::memcpy(r.address.data(), msg + r.dataOffset, 16);
        return true;
    case kTypePtr:
        if (r.dataLength == 0) return false;
        // The name may point back into the message, but its own bytes must
        // fill the record data exactly.
        return readName(msg, end, r.dataOffset, r.target, next) && next == end;
    case kTypeSrv:
        if (r.dataLength < 7) return false;
        r.priority = readBe16(msg + r.dataOffset);
        r.weight = readBe16(msg + r.dataOffset + 2);
        r.port = readBe16(msg + r.dataOffset + 4);
        return readName(msg, end, r.dataOffset + 6, r.target, next) && next == end;
    case kTypeTxt:
        return txtWellFormed(msg + r.dataOffset, r.dataLength);
    default:
        return true;  // other types are carried along unread
    }
}

}  // namespace

bool DnsName::fromWire(const std::uint8_t* wire, std::size_t length, DnsName& out) {
    if (length == 0 || length > kMaxNameWire) return false;
    std::size_t pos = 0;
    while (pos < length) {
        const std::uint8_t b = wire[pos];
        if (b == 0) {
            if (pos + 1 != length) return false;
            std::memcpy(out.wire_.data(), wire, length);
            out.size_ = length;
            return true;
        }
        if (b > kMaxLabel) return false;
        pos += 1 + static_cast<std::size_t>(b);
    }
    return false;
}

bool DnsName::fromText(std::string_view text, DnsName& out) {
    if (text.empty()) return false;
    if (text == ".") {
        out = DnsName();
        return true;
    }
    std::uint8_t wire[kMaxNameWire];
    std::size_t size = 0;
    std::uint8_t label[kMaxLabel + 1];
    std::size_t labelLength = 0;
    auto closeLabel = [&]() {
        if (labelLength == 0 || size + 1 + labelLength + 1 > kMaxNameWire) return false;
        wire[size++] = static_cast<std::uint8_t>(labelLength);
        std::memcpy(wire + size, label, labelLength);
        size += labelLength;
        labelLength = 0;
        return true;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint8_t c = static_cast<std::uint8_t>(text[i]);
        if (c == '.') {
            if (!closeLabel()) return false;
            continue;
        }
        if (c == '\\') {
            if (i + 1 >= text.size()) return false;
            const char e = text[i + 1];
            if (e >= '0' && e <= '9') {
                if (i + 3 >= text.size()) return false;
                int value = 0;
                for (std::size_t k = 1; k <= 3; ++k) {
                    const char d = text[i + k];
                    if (d < '0' || d > '9') return false;
                    value = value * 10 + (d - '0');
                }
                if (value > 255) return false;
                c = static_cast<std::uint8_t>(value);
                i += 3;
            } else {
                c = static_cast<std::uint8_t>(e);
                i += 1;
            }
        }
        if (labelLength >= kMaxLabel) return false;
        label[labelLength++] = c;
    }
    if (labelLength > 0 && !closeLabel()) return false;
    wire[size++] = 0;
    return fromWire(wire, size, out);
}

bool DnsName::prependLabel(std::string_view label) {
    if (label.empty() || label.size() > kMaxLabel || size_ + 1 + label.size() > kMaxNameWire) return false;
    std::memmove(wire_.data() + 1 + label.size(), wire_.data(), size_);
    wire_[0] = static_cast<std::uint8_t>(label.size());
    std::memcpy(wire_.data() + 1, label.data(), label.size());
    size_ += 1 + label.size();
    return true;
}

std::string DnsName::toText() const {
    std::string text;
    std::size_t pos = 0;
    while (pos < size_ && wire_[pos] != 0) {
        const std::size_t n = wire_[pos];
        if (!text.empty()) text.push_back('.');
        for (std::size_t k = 1; k <= n; ++k) {
            const std::uint8_t c = wire_[pos + k];
            if (c == '.' || c == '\\') {
                text.push_back('\\');
                text.push_back(static_cast<char>(c));
            } else if (c < 0x21 || c > 0x7E) {
                char esc[5] = {'\\', static_cast<char>('0' + c / 100), static_cast<char>('0' + (c / 10) % 10),
                               static_cast<char>('0' + c % 10), 0};
                text += esc;
            } else {
                text.push_back(static_cast<char>(c));
            }
        }
        pos += 1 + n;
    }
    return text;
}

bool DnsName::equals(const DnsName& other) const {
    if (size_ != other.size_) return false;
    // Length bytes are at most 63, so folding them as letters changes nothing.
    for (std::size_t i = 0; i < size_; ++i) {
        if (lowerAscii(wire_[i]) != lowerAscii(other.wire_[i])) return false;
    }
    return true;
}

bool DnsName::isChildOf(const DnsName& parent) const {
    if (wire_[0] == 0) return false;
    const std::size_t first = 1 + static_cast<std::size_t>(wire_[0]);
    if (size_ - first != parent.size_) return false;
    for (std::size_t i = 0; i < parent.size_; ++i) {
        if (lowerAscii(wire_[first + i]) != lowerAscii(parent.wire_[i])) return false;
    }
    return true;
}

std::string_view DnsName::firstLabel() const {
    return std::string_view(reinterpret_cast<const char*>(wire_.data()) + 1, wire_[0]);
}

bool parseMessage(const std::uint8_t* data, std::size_t length, Message& out) {
    if (data == nullptr || length < kHeaderSize || length > kMaxMessageSize) return false;
    out.id = readBe16(data);
    out.flags = readBe16(data + 2);
    const std::size_t qd = readBe16(data + 4);
    const std::size_t an = readBe16(data + 6);
    const std::size_t ns = readBe16(data + 8);
    const std::size_t ar = readBe16(data + 10);
    if (qd > kMaxQuestions || an + ns + ar > kMaxRecords) return false;
    // A question takes at least 5 bytes and a record at least 11: counts
    // that cannot fit are refused before anything is read.
    if (qd * 5 + (an + ns + ar) * 11 > length - kHeaderSize) return false;

    std::size_t pos = kHeaderSize;
    out.questionCount = 0;
    out.recordCount = 0;
    for (std::size_t i = 0; i < qd; ++i) {
        Question& q = out.questions[out.questionCount];
        std::size_t next = 0;
        if (!readName(data, length, pos, q.name, next)) return false;
        if (next + 4 > length) return false;
        q.type = readBe16(data + next);
        const std::uint16_t c = readBe16(data + next + 2);
        q.qclass = c & ~kClassTopBit;
        q.unicastResponse = (c & kClassTopBit) != 0;
        pos = next + 4;
        ++out.questionCount;
    }
    const std::size_t sectionEnds[3] = {an, an + ns, an + ns + ar};
    for (std::size_t i = 0; i < an + ns + ar; ++i) {
        Record& r = out.records[out.recordCount];
        r.section = i < sectionEnds[0] ? Section::Answer : i < sectionEnds[1] ? Section::Authority : Section::Additional;
        std::size_t next = 0;
        if (!readName(data, length, pos, r.name, next)) return false;
        if (next + 10 > length) return false;
        r.type = readBe16(data + next);
        const std::uint16_t c = readBe16(data + next + 2);
        r.rclass = c & ~kClassTopBit;
        r.cacheFlush = (c & kClassTopBit) != 0;
        r.ttl = readBe32(data + next + 4);
        r.dataLength = readBe16(data + next + 8);
        r.dataOffset = next + 10;
        if (r.dataOffset + r.dataLength > length) return false;
        if (!readRecordData(data, r)) return false;
        pos = r.dataOffset + r.dataLength;
        ++out.recordCount;
    }
    return true;
}

bool parseTxtStrings(const std::uint8_t* data, std::size_t length, std::vector<std::string>& out,
                     std::size_t maxStrings) {
    out.clear();
    std::size_t pos = 0;
    while (pos < length) {
        const std::size_t n = data[pos];
        if (pos + 1 + n > length) return false;
        if (out.size() < maxStrings) out.emplace_back(reinterpret_cast<const char*>(data + pos + 1), n);
        pos += 1 + n;
    }
    return true;
}

MessageWriter::MessageWriter(std::uint8_t* buffer, std::size_t capacity, std::uint16_t id, std::uint16_t flags)
    : buffer_(buffer), capacity_(capacity) {
    if (capacity_ < kHeaderSize) {
        ok_ = false;
        return;
    }
    std::memset(buffer_, 0, kHeaderSize);
    buffer_[0] = static_cast<std::uint8_t>(id >> 8);
    buffer_[1] = static_cast<std::uint8_t>(id);
    buffer_[2] = static_cast<std::uint8_t>(flags >> 8);
    buffer_[3] = static_cast<std::uint8_t>(flags);
    size_ = kHeaderSize;
}

bool MessageWriter::put(const void* data, std::size_t length) {
    if (!ok_ || length > capacity_ - size_) {
        ok_ = false;
        return false;
    }
    std::memcpy(buffer_ + size_, data, length);
    size_ += length;
    return true;
}

bool MessageWriter::put16(std::uint16_t v) {
    const std::uint8_t b[2] = {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    return put(b, 2);
}

bool MessageWriter::put32(std::uint32_t v) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                               static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    return put(b, 4);
}

bool MessageWriter::addQuestion(const DnsName& name, std::uint16_t type, std::uint16_t qclass, bool unicastResponse) {
    if (recordsStarted_ || counts_[0] >= kMaxQuestions) {
        ok_ = false;
        return false;
    }
    if (!put(name.wire(), name.wireSize()) || !put16(type) ||
        !put16(static_cast<std::uint16_t>(qclass | (unicastResponse ? kClassTopBit : 0))))
        return false;
    ++counts_[0];
    return true;
}

bool MessageWriter::beginRecord(Section section, const DnsName& name, std::uint16_t type, bool cacheFlush,
                                std::uint32_t ttl, std::size_t dataLength) {
    if (!ok_ || (recordsStarted_ && section < section_) || dataLength > 0xFFFF ||
        static_cast<std::size_t>(counts_[1] + counts_[2] + counts_[3]) >= kMaxRecords) {
        ok_ = false;
        return false;
    }
    recordsStarted_ = true;
    section_ = section;
    if (!put(name.wire(), name.wireSize()) || !put16(type) ||
        !put16(static_cast<std::uint16_t>(kClassIn | (cacheFlush ? kClassTopBit : 0))) || !put32(ttl) ||
        !put16(static_cast<std::uint16_t>(dataLength)))
        return false;
    ++counts_[1 + static_cast<int>(section)];
    return true;
}

bool MessageWriter::addPtr(Section section, const DnsName& name, std::uint32_t ttl, const DnsName& target,
                           bool cacheFlush) {
    return beginRecord(section, name, kTypePtr, cacheFlush, ttl, target.wireSize()) &&
           put(target.wire(), target.wireSize());
}

bool MessageWriter::addSrv(Section section, const DnsName& name, std::uint32_t ttl, std::uint16_t port,
                           const DnsName& host, bool cacheFlush) {
    return beginRecord(section, name, kTypeSrv, cacheFlush, ttl, 6 + host.wireSize()) && put16(0) && put16(0) &&
           put16(port) && put(host.wire(), host.wireSize());
}

bool MessageWriter::addTxt(Section section, const DnsName& name, std::uint32_t ttl,
                           const std::vector<std::string>& strings, bool cacheFlush) {
    std::size_t dataLength = 0;
    for (const std::string& s : strings) {
        if (s.size() > 255) {
            ok_ = false;
            return false;
        }
        dataLength += 1 + s.size();
    }
    if (strings.empty()) dataLength = 1;
    if (!beginRecord(section, name, kTypeTxt, cacheFlush, ttl, dataLength)) return false;
    if (strings.empty()) {
        const std::uint8_t zero = 0;
        return put(&zero, 1);
    }
    for (const std::string& s : strings) {
        const std::uint8_t n = static_cast<std::uint8_t>(s.size());
        if (!put(&n, 1) || !put(s.data(), s.size())) return false;
    }
    return true;
}

bool MessageWriter::addA(Section section, const DnsName& name, std::uint32_t ttl, const std::uint8_t address[4],
                         bool cacheFlush) {
    return beginRecord(section, name, kTypeA, cacheFlush, ttl, 4) && put(address, 4);
}

bool MessageWriter::addAaaa(Section section, const DnsName& name, std::uint32_t ttl, const std::uint8_t address[16],
                            bool cacheFlush) {
    return beginRecord(section, name, kTypeAaaa, cacheFlush, ttl, 16) && put(address, 16);
}

std::size_t MessageWriter::finish() {
    if (!ok_) return 0;
    for (int i = 0; i < 4; ++i) {
        buffer_[4 + 2 * i] = static_cast<std::uint8_t>(counts_[i] >> 8);
        buffer_[5 + 2 * i] = static_cast<std::uint8_t>(counts_[i]);
    }
    return size_;
}

}  // namespace tavin::mdns
