// Message layouts byte by byte, and parsers against hand-made byte arrays.
#include "session/protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/byte_order.h"

using namespace tavin;
using namespace tavin::protocol;
using Bytes = std::vector<std::uint8_t>;

namespace {

template <std::size_t N>
Bytes bytes(const std::array<std::uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

// A little-endian byte image of a sequence of 32-bit words.
Bytes words(std::initializer_list<std::uint32_t> ws) {
    Bytes b;
    for (std::uint32_t w : ws) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
    }
    return b;
}

std::uint32_t bitsOf(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

}  // namespace

TEST(Framing, HeaderWordGoesOutLengthFirstTypeLast) {
    auto button = buildButton(4, 1);
    EXPECT_EQ(Bytes(button.begin(), button.begin() + 4), (Bytes{0x0C, 0x00, 0x00, 0x10}));
    Bytes h{0x00, 0x09, 0x3D, 0x08};  // 4,000,000 as a Video header
    EXPECT_EQ(headerLength(h.data()), 4'000'000u);
    EXPECT_EQ(headerType(h.data()), kVideo);
    EXPECT_EQ(makeHeader(kCapabilities, 0x12345678), 0x0A345678u);  // length keeps its 24 bits only
}

TEST(Framing, BytesWantedAndCompleteAtTheLimits) {
    Bytes four{0x04, 0x00, 0x00, 0x03};
    for (std::uint32_t have = 0; have < 4; ++have) {
        EXPECT_EQ(bytesWanted(four.data(), have), 4u);
        EXPECT_FALSE(messageComplete(four.data(), have));
    }
    EXPECT_TRUE(messageComplete(four.data(), 4));

    Bytes big = words({makeHeader(kVideo, 4'000'000)});
    EXPECT_EQ(bytesWanted(big.data(), 4), 4'000'000u);
    EXPECT_FALSE(messageComplete(big.data(), 3'999'999));
    EXPECT_TRUE(messageComplete(big.data(), 4'000'000));

    // Past the limit the wanted size is reported as announced; the receive
    // loop compares it with kMaxMessage and ends the session.
    Bytes over = words({makeHeader(kVideo, 4'000'001)});
    EXPECT_EQ(bytesWanted(over.data(), 4), kMaxMessage + 1);
}

TEST(Builders, EngineMessagesByteByByte) {
    EXPECT_EQ(bytes(buildPingReply()), words({0x04000004}));
    EXPECT_EQ(bytes(buildEngineVersion()), words({0x1100000c, 12, 15}));
    EXPECT_EQ(bytes(buildButton(-3, 0xDEADBEEF)), words({0x1000000c, 0xFFFFFFFD, 0xDEADBEEF}));
    EXPECT_EQ(bytes(buildFocus(0.5f, -1.0f, 0xFF)), words({0x12000010, bitsOf(0.5f), bitsOf(-1.0f), 0x000000FF}));
    EXPECT_EQ(bytes(buildFocusDistance(-1, 2.5f)), words({0x1900000c, 0xFFFFFFFF, bitsOf(2.5f)}));
    EXPECT_EQ(bytes(buildCameraUsage(4, 3, 2)), words({0x1a000010, 4, 3, 2}));
    EXPECT_EQ(bytes(buildFormatRequest(format_request::kCodecHevc, VideoFormat{1920, 1080, 29.97f})),
              words({0x0b000018, 1, 2, 1920, 1080, bitsOf(29.97f)}));
    EXPECT_EQ(bytes(buildTiming(bitsOf(7.25f), 0.016f, 0.002f)),
              words({0x09000010, bitsOf(7.25f), bitsOf(0.016f), bitsOf(0.002f)}));
    EXPECT_EQ(bytes(buildChallengeAnswer(0x01020304, 0xA0B0C0D0)), words({0x17000010, 0, 0x01020304, 0xA0B0C0D0}));
}

TEST(Builders, ErrorReportTextIsCutAt254AndNulFilled) {
    Bytes m = bytes(buildErrorReport("we:qc:75"));
    ASSERT_EQ(m.size(), 268u);
    EXPECT_EQ(Bytes(m.begin(), m.begin() + 12), words({0x0c00010c, 12, 15}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&m[12]), 8), "we:qc:75");
    for (std::size_t i = 20; i < m.size(); ++i) ASSERT_EQ(m[i], 0) << i;

    Bytes cut = bytes(buildErrorReport(std::string(400, 'x')));
    for (std::size_t i = 0; i < 254; ++i) ASSERT_EQ(cut[12 + i], 'x') << i;
    EXPECT_EQ(cut[12 + 254], 0);
    EXPECT_EQ(cut[12 + 255], 0);
}

TEST(Builders, PhoneSideMessagesReadBackThroughTheParsers) {
    PhoneId id{};
    for (std::size_t i = 0; i < id.size(); ++i) id[i] = static_cast<std::uint8_t>(0xA0 + i);
    auto info = buildPhoneInfo(id, 0x0203, std::string(300, 'n'));
    EXPECT_EQ(bytes(info).size(), 280u);
    EXPECT_EQ(readLe32(info.data()), 0x01000118u);
    EXPECT_EQ(info[20], 0x03);
    EXPECT_EQ(info[21], 0x02);
    EXPECT_EQ(info[24 + 255], 0);  // the name keeps a NUL inside its field
    PhoneInfoFields f;
    ASSERT_TRUE(parsePhoneInfo(info.data(), info.size(), f));
    EXPECT_EQ(f.id, id);
    EXPECT_EQ(f.kind, 0x0203);
    EXPECT_EQ(std::string(f.name), std::string(255, 'n'));

    std::vector<VideoFormat> offered{{640, 480, 30.0f}, {3840, 2160, 59.94f}};
    Bytes caps = buildCapabilities(true, offered);
    EXPECT_EQ(Bytes(caps.begin(), caps.begin() + 12), (Bytes{36, 0, 0, 10, 0, 0, 1, 0, 2, 0, 0, 0}));
    bool hevc = false;
    std::vector<VideoFormat> got;
    ASSERT_TRUE(parseCapabilities(caps.data(), caps.size(), hevc, got));
    EXPECT_TRUE(hevc);
    EXPECT_EQ(got, offered);

    std::vector<std::string> names{"Front", std::string(300, 'w'), ""};
    Bytes list = buildNameList(77, names);
    ASSERT_EQ(list.size(), 12u + 3 * 256);
    std::string joined;
    std::uint32_t value = 0;
    ASSERT_TRUE(parseNameList(list.data(), list.size(), joined, value));
    EXPECT_EQ(joined, "Front/" + std::string(255, 'w') + "/");
    EXPECT_EQ(value, 77u);

    EXPECT_EQ(bytes(buildReport(kReport20, {1, 2, 3, 4})), words({0x14000014, 1, 2, 3, 4}));
    EXPECT_EQ(bytes(buildChallenge(5, 6)), words({0x17000010, 0, 5, 6}));
    EXPECT_EQ(bytes(buildHeaderOnly(kStreamStop)), words({0x02000004}));
    std::uint8_t head[8];
    writePayloadHeader(head, kVideo, 0x11223344, 1000);
    EXPECT_EQ(Bytes(head, head + 8), words({0x080003F0, 0x11223344}));
}

TEST(Parsers, PhoneInfoNameWithoutNulStaysInItsField) {
    // 280 bytes of message, then bytes that must never reach the name.
    Bytes m(300, 'z');
    auto info = buildPhoneInfo(PhoneId{}, 1, "");
    std::copy(info.begin(), info.begin() + 24, m.begin());
    std::fill(m.begin() + 24, m.begin() + 280, 'a');
    PhoneInfoFields f;
    ASSERT_TRUE(parsePhoneInfo(m.data(), 280, f));
    EXPECT_EQ(std::string(f.name), std::string(256, 'a'));
    EXPECT_FALSE(parsePhoneInfo(m.data(), 279, f));
}

TEST(Parsers, CapabilitiesReadOnlyEntriesWhollyInside) {
    // count says 5; two whole entries and part of a third lie inside the
    // length; what follows in the buffer belongs to nobody.
    Bytes m = words({makeHeader(kCapabilities, 12 + 2 * 12 + 11), 0x00FE0000, 5, 1280, 720, bitsOf(30.0f), 640,
                     360, bitsOf(15.0f), 111, 222, 333});
    std::size_t length = 12 + 2 * 12 + 11;
    bool hevc = true;
    std::vector<VideoFormat> got{{1, 1, 1.0f}};
    ASSERT_TRUE(parseCapabilities(m.data(), length, hevc, got));
    EXPECT_FALSE(hevc);  // only bit 0 of the flags byte counts
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], (VideoFormat{640, 360, 15.0f}));

    Bytes huge = words({makeHeader(kCapabilities, 24), 0x00010000, 0xFFFFFFFF, 7, 8, bitsOf(9.0f)});
    ASSERT_TRUE(parseCapabilities(huge.data(), huge.size(), hevc, got));
    EXPECT_TRUE(hevc);
    EXPECT_EQ(got, (std::vector<VideoFormat>{{7, 8, 9.0f}}));

    Bytes none = words({makeHeader(kCapabilities, 12), 0, 0});
    ASSERT_TRUE(parseCapabilities(none.data(), none.size(), hevc, got));
    EXPECT_TRUE(got.empty());
    EXPECT_FALSE(parseCapabilities(none.data(), 11, hevc, got));
}

TEST(Parsers, PayloadNeedsItsEightByteHeader) {
    Bytes m = words({makeHeader(kVideo, 11), 0xCAFEF00D, 0x00030201});
    PayloadView v;
    EXPECT_FALSE(parsePayload(m.data(), 7, v));
    ASSERT_TRUE(parsePayload(m.data(), 8, v));
    EXPECT_EQ(v.length, 0u);
    ASSERT_TRUE(parsePayload(m.data(), 11, v));
    EXPECT_EQ(v.tagBits, 0xCAFEF00Du);
    EXPECT_EQ(v.data, m.data() + 8);
    EXPECT_EQ(v.length, 3u);
}

TEST(Parsers, ShortFixedPartsReadAsZeroOrFail) {
    Bytes m = words({0x13000014, 0x11111111, 0x22222222, 0x33333333, 0x44444444});
    EXPECT_EQ(readReportWords(m.data(), 20), (std::array<std::uint32_t, 4>{0x11111111, 0x22222222, 0x33333333,
                                                                           0x44444444}));
    // Bytes past the length read as 0, even inside a word.
    EXPECT_EQ(readReportWords(m.data(), 10), (std::array<std::uint32_t, 4>{0x11111111, 0x00002222, 0, 0}));
    EXPECT_EQ(readTwoWords(m.data(), 12), (std::array<std::uint32_t, 2>{0x11111111, 0x22222222}));
    EXPECT_EQ(readTwoWords(m.data(), 4), (std::array<std::uint32_t, 2>{0, 0}));

    Bytes c = words({0x17000010, 0x99999999, 0xAAAAAAAA, 0xBBBBBBBB});
    std::uint32_t low = 0, high = 0;
    EXPECT_FALSE(parseChallenge(c.data(), 15, low, high));
    ASSERT_TRUE(parseChallenge(c.data(), 16, low, high));
    EXPECT_EQ(low, 0xAAAAAAAAu);
    EXPECT_EQ(high, 0xBBBBBBBBu);
}

TEST(Parsers, NameListReadsOnlyWholeFieldsInside) {
    // count 9, one whole field without a NUL, then half a field.
    Bytes m = words({0, 9, 42});
    m.resize(12 + 256 + 128, 'q');
    std::fill(m.begin() + 12, m.begin() + 12 + 256, 'a');
    std::string joined = "stale";
    std::uint32_t value = 0;
    ASSERT_TRUE(parseNameList(m.data(), m.size(), joined, value));
    EXPECT_EQ(joined, std::string(256, 'a'));
    EXPECT_EQ(value, 42u);

    Bytes empty = words({0x1800000c, 0, 3});
    ASSERT_TRUE(parseNameList(empty.data(), empty.size(), joined, value));
    EXPECT_EQ(joined, "");
    EXPECT_EQ(value, 3u);
    EXPECT_FALSE(parseNameList(empty.data(), 11, joined, value));
}
