// Number and text conversions: hexadecimal and decimal text, the hex parser
// every patch field goes through, ASCII upper-casing, and code pages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/conversions.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::string Str(const ByteString& s) { return std::string(s.CStr(), s.Length()); }
ByteString Bytes(const std::string& s) { return ByteString(s.data(), static_cast<uint32_t>(s.size())); }
std::u16string U16(const WideString& w) { return std::u16string(w.CStr(), w.Length()); }

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

TEST(HexDigits, Table) {
    struct Case { uint32_t value; int32_t minDigits; const char* text; };
    const Case cases[] = {
        {0x0A, 2, "0A"},        {0, 2, "00"},           {0, 0, "0"},
        {0x1BFFB8, 2, "1BFFB8"}, {255, 2, "FF"},        {7, 2, "07"},
        {65536, 2, "10000"},    {0xFFFFFFFFu, 0, "FFFFFFFF"}, {0xFFFFFFFFu, 8, "FFFFFFFF"},
        {0xABCDEF, 8, "00ABCDEF"}, {1, 15, "000000000000001"},
        // Only the low 4 bits of minDigits count: 16 -> 0, 17 -> 1, -1 -> 15.
        {1, 16, "1"},           {0x1F, 17, "1F"},       {5, -1, "000000000000005"},
        {0x1A2B, 0, "1A2B"},    {0xC, 1, "C"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Str(HexDigits(c.value, c.minDigits)), c.text) << c.value << " min " << c.minDigits;
}

TEST(DecimalDigits, Table) {
    struct Case { int32_t value; const char* text; };
    const Case cases[] = {
        {0, "0"}, {-5, "-5"}, {390, "390"}, {10, "10"}, {-10, "-10"}, {1000000, "1000000"},
        {2147483647, "2147483647"}, {-2147483647 - 1, "-2147483648"}, {-1, "-1"},
    };
    for (const Case& c : cases) EXPECT_EQ(Str(DecimalDigits(c.value)), c.text) << c.value;
}

TEST(UpperAscii, ChangesExactlyTheLowerCaseLetters) {
    struct Case { std::string in, out; };
    const Case cases[] = {
        {"", ""},
        {"abcxyz", "ABCXYZ"},
        {"1bffb8h", "1BFFB8H"},
        // Neighbours of the range stay: '`' (0x60), '{' (0x7B), '@', '['.
        {"`{@[AZ09", "`{@[AZ09"},
        // Bytes 0x80 and above stay; a letter-valued second byte of a
        // double-byte character is changed like any other byte.
        {"\x81" "a\xB3\xCC", "\x81" "A\xB3\xCC"},
        {"\xE1\xFA\x7Aq", "\xE1\xFA\x5AQ"},
        // Embedded NUL kept, length kept.
        {std::string("a\0b", 3), std::string("A\0B", 3)},
    };
    for (const Case& c : cases) EXPECT_EQ(Str(UpperAscii(Bytes(c.in))), c.out) << Hex(c.in);
    // Every byte value: only 0x61..0x7A move, by exactly 0x20.
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    std::string up = Str(UpperAscii(Bytes(all)));
    ASSERT_EQ(up.size(), 256u);
    for (int b = 0; b < 256; ++b) {
        int expected = (b >= 0x61 && b <= 0x7A) ? b - 0x20 : b;
        EXPECT_EQ(static_cast<unsigned char>(up[b]), expected) << b;
    }
}

TEST(ParseHex64, Table) {
    struct Case { const char* text; int64_t value; };
    const Case cases[] = {
        {"0A", 10},
        {"1bffb8", 0x1BFFB8},
        {"FFh", 255},
        {"H", 0},
        {"h", 0},
        {"12G4", 0},
        {"0x10", 0},
        {"000000", 0},
        {"FFFFFF", 16777215},
        {"ffffh", 65535},
        {"FFFFFFFFFFFFFFFF", -1},
        {"1 2", 0},
        {"-1", 0},
        {"+1", 0},
        {"FFHH", 0},   // only one trailing H is dropped
        {"1h", 1},
        {"00018E", 398},
        {"", 0},
        {"7FFFFFFFFFFFFFFF", INT64_MAX},
        {"8000000000000000", INT64_MIN},
        {"123456789ABCDEF0", 0x123456789ABCDEF0},
        // Seventeen digits: the first is shifted out of 64 bits.
        {"10000000000000000", 0},
        {"1FFFFFFFFFFFFFFFF", -1},
        {"AB ", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseHex64(ByteString(c.text)), c.value) << '"' << c.text << '"';
}

// The patch run turns every field into two digits per byte and back; the
// round trip must give the plain big-endian value for every 2-byte field
// and a spread of 3-byte ones.
TEST(ParseHex64, FieldRoundTripIsBigEndianValue) {
    for (uint32_t v = 0; v <= 0xFFFF; ++v) {
        ByteString text = HexDigits(v >> 8, 2);
        text.Append(HexDigits(v & 0xFF, 2));
        ASSERT_EQ(ParseHex64(text), static_cast<int64_t>(v)) << v;
    }
    for (uint32_t v = 0; v <= 0xFFFFFF; v += 0x10101 + (v & 7)) {
        ByteString text = HexDigits(v >> 16, 2);
        text.Append(HexDigits((v >> 8) & 0xFF, 2));
        text.Append(HexDigits(v & 0xFF, 2));
        ASSERT_EQ(ParseHex64(text), static_cast<int64_t>(v)) << v;
    }
}

// --- code pages ------------------------------------------------------------

struct Encoding {
    uint32_t codePage;
    std::u16string text;
    std::string bytes;
};

const std::vector<Encoding>& EncodingTable() {
    static const std::vector<Encoding> table = {
        {936, u"完成! 總用時:", "\xcd\xea\xb3\xc9\x21\x20\xbf\x82\xd3\xc3\x95\x72\x3a"},
        {936, u"程序錯誤!", "\xb3\xcc\xd0\xf2\xe5\x65\xd5\x60\x21"},
        {936, u"寫入失敗!", "\x8c\x91\xc8\xeb\xca\xa7\x94\xa1\x21"},
        {936, u"備份失敗!", "\x82\xe4\xb7\xdd\xca\xa7\x94\xa1\x21"},
        {936, u" ms", " ms"},
        {936, u"€", "\x80"},
        {950, u"寫入失敗!", "\xbc\x67\xa4\x4a\xa5\xa2\xb1\xd1\x21"},
        {950, u"完成! 總用時:", "\xa7\xb9\xa6\xa8\x21\x20\xc1\x60\xa5\xce\xae\xc9\x3a"},
        {1252, u"café €", "caf\xe9 \x80"},
        {65001, u"總", "\xe7\xb8\xbd"},
        {65001, u"a😀", "a\xf0\x9f\x98\x80"},
        {936, u"line1\r\nline2", "line1\r\nline2"},
    };
    return table;
}

TEST(CodePages, ExactConversionsBothWays) {
    for (const Encoding& e : EncodingTable()) {
        ByteString out("stale");
        uint32_t bad = 12345;
        ASSERT_TRUE(WideToCodePage(e.codePage, e.text.data(), static_cast<uint32_t>(e.text.size()), &out, &bad))
            << e.codePage << " " << Hex(e.bytes);
        EXPECT_EQ(Hex(Str(out)), Hex(e.bytes)) << e.codePage;
        EXPECT_EQ(bad, 12345u) << "index untouched on success";

        WideString back(u"stale");
        ASSERT_TRUE(CodePageToWide(e.codePage, e.bytes.data(), static_cast<uint32_t>(e.bytes.size()), &back, &bad))
            << e.codePage << " " << Hex(e.bytes);
        EXPECT_TRUE(U16(back) == e.text) << e.codePage << " " << Hex(e.bytes);
    }
}

TEST(CodePages, EmptyInputConvertsToEmpty) {
    ByteString out("x");
    WideString wide(u"x");
    EXPECT_TRUE(WideToCodePage(936, u"", 0, &out, nullptr));
    EXPECT_TRUE(out.Empty());
    EXPECT_TRUE(CodePageToWide(936, "", 0, &wide, nullptr));
    EXPECT_TRUE(wide.Empty());
}

TEST(CodePages, UnmappableCharactersAreRefusedWithTheirIndex) {
    struct Case { uint32_t codePage; std::u16string text; uint32_t badIndex; };
    const Case cases[] = {
        {1252, u"ab一c", 2},
        {1252, u"Ā", 0},            // best fit would give 'A'
        {936, u"ab\u0E01", 2},      // Thai is not in GBK
        {936, u"x한", 1},           // nor Hangul
        {936, u"ok😀", 2},          // a surrogate pair, refused at its first unit
        {950, u"我们", 1},          // simplified-only character, not in Big5
        {936, u"a\xD800" u"b", 1},  // unpaired high surrogate
        {936, u"ab\xDC00", 2},      // unpaired low surrogate
        {65001, u"a\xD800", 1},
        {65001, u"\xDFFF" u"z", 0},
    };
    for (const Case& c : cases) {
        ByteString out("stale");
        uint32_t bad = 999;
        EXPECT_FALSE(WideToCodePage(c.codePage, c.text.data(), static_cast<uint32_t>(c.text.size()), &out, &bad))
            << c.codePage << " index " << c.badIndex;
        EXPECT_EQ(bad, c.badIndex) << c.codePage;
        EXPECT_TRUE(out.Empty()) << "nothing half-converted is handed out";
    }
}

TEST(CodePages, InvalidByteSequencesAreRefusedWithTheirIndex) {
    struct Case { uint32_t codePage; std::string bytes; uint32_t badIndex; };
    const Case cases[] = {
        {936, "ab\x81", 2},         // lead byte cut off at the end
        {936, "A\x81\x20", 1},      // lead byte without a valid trail byte
        {950, "ab\xa4", 2},
        {65001, "a\xc3", 1},
        {65001, "ok\xff", 2},
        {65001, "\xe7\xb8", 0},
    };
    for (const Case& c : cases) {
        WideString out(u"stale");
        uint32_t bad = 999;
        EXPECT_FALSE(CodePageToWide(c.codePage, c.bytes.data(), static_cast<uint32_t>(c.bytes.size()), &out, &bad))
            << c.codePage << " " << Hex(c.bytes);
        EXPECT_EQ(bad, c.badIndex) << c.codePage << " " << Hex(c.bytes);
        EXPECT_TRUE(out.Empty());
    }
}

TEST(CodePages, UnknownCodePageIsRefused) {
    ByteString out;
    uint32_t bad = 7;
    EXPECT_FALSE(WideToCodePage(12345, u"abc", 3, &out, &bad));
    EXPECT_EQ(bad, 0u);
    WideString wide;
    bad = 7;
    EXPECT_FALSE(CodePageToWide(12345, "abc", 3, &wide, &bad));
    EXPECT_EQ(bad, 0u);
}

// --- the thread's ANSI code page ------------------------------------------

TEST(AnsiText, EmptyAndAsciiRoundTrip) {
    EXPECT_TRUE(WideToAnsiText(u"").Empty());
    EXPECT_TRUE(WideToAnsiText(nullptr, 0).Empty());
    EXPECT_TRUE(AnsiToWideText(ByteString()).Empty());
    const char16_t* ascii = u"Tessel 1.0: a.bin.bak\r\n";
    ByteString bytes = WideToAnsiText(ascii);
    EXPECT_EQ(Str(bytes), "Tessel 1.0: a.bin.bak\r\n");
    EXPECT_TRUE(U16(AnsiToWideText(bytes)) == std::u16string(ascii));
    // The counted form stops at its count, not at the first 0 unit.
    EXPECT_EQ(Str(WideToAnsiText(u"abcdef", 3)), "abc");
}

#ifdef _WIN32
TEST(AnsiText, UsesTheThreadCodePage) {
    EXPECT_EQ(ConversionCodePage(), static_cast<uint32_t>(CP_THREAD_ACP));
    // Whatever the locale, the result is what the explicit conversion with
    // the thread's ANSI code page gives for text that code page holds.
    CPINFOEXA info;
    ASSERT_TRUE(GetCPInfoExA(CP_THREAD_ACP, 0, &info));
    const char16_t* text = info.CodePage == 936 ? u"完成! 總用時:" : u"Tessel ready";
    ByteString expected;
    ASSERT_TRUE(WideToCodePage(info.CodePage, text, WideLength(text), &expected, nullptr));
    EXPECT_EQ(Str(WideToAnsiText(text)), Str(expected));
    EXPECT_TRUE(U16(AnsiToWideText(expected)) == std::u16string(text));
}
#else
class AnsiTextPosix : public ::testing::Test {
protected:
    void SetUp() override { saved = ConversionCodePage(); }
    void TearDown() override { SetConversionCodePage(saved); }
    uint32_t saved;
};

TEST_F(AnsiTextPosix, DefaultsTo936AndFollowsTheChosenCodePage) {
    EXPECT_EQ(saved, 936u);
    for (const Encoding& e : EncodingTable()) {
        SetConversionCodePage(e.codePage);
        EXPECT_EQ(Hex(Str(WideToAnsiText(e.text.data(), static_cast<uint32_t>(e.text.size())))), Hex(e.bytes))
            << e.codePage;
        EXPECT_TRUE(U16(AnsiToWideText(Bytes(e.bytes))) == e.text) << e.codePage;
    }
}

TEST_F(AnsiTextPosix, SubstitutesLikeTheWindowsCallsWithoutFlags) {
    SetConversionCodePage(1252);
    EXPECT_EQ(Str(WideToAnsiText(u"a一b")), "a?b");
    SetConversionCodePage(936);
    EXPECT_EQ(Str(WideToAnsiText(u"x한y")), "x?y");
    EXPECT_TRUE(U16(AnsiToWideText(ByteString("ab\x81"))) == u"ab\uFFFD");
    EXPECT_TRUE(U16(AnsiToWideText(ByteString("A\x81\x20Z"))) == u"A\uFFFD Z");
}
#endif

TEST(WideString, ValueSemantics) {
    WideString a(u"總用時");
    WideString b = a;
    EXPECT_TRUE(a == b);
    b.Append(u"!", 1);
    EXPECT_EQ(b.Length(), 4u);
    EXPECT_EQ(a.Length(), 3u);
    EXPECT_EQ(b.CStr()[4], 0) << "terminated";
    b.Append(b.Data(), 2);  // from itself
    EXPECT_TRUE(U16(b) == u"總用時!總用");
    WideString moved(static_cast<WideString&&>(b));
    EXPECT_TRUE(b.Empty());
    EXPECT_EQ(moved.Length(), 6u);
    EXPECT_EQ(WideLength(nullptr), 0u);
    EXPECT_EQ(WideString(nullptr).Length(), 0u);
}

}  // namespace
