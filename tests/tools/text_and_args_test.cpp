// UTF-8 decoding, the description's conversion to a code page, and the
// command-line parser: tables of inputs and the exact results expected.
#include <gtest/gtest.h>

#include "tools/tessel_pack/args.h"
#include "tools/tessel_pack/description.h"
#include "tools/tessel_pack/utf8.h"

namespace {

struct Utf8Case {
    const char* name;
    std::string bytes;
    bool valid;
    std::u32string codePoints;  // when valid
    uint32_t line;              // when not: line and offset of the bad byte
    uint32_t offset;
};

TEST(Utf8Decoding, AcceptsExactlyWellFormedUtf8) {
    const Utf8Case cases[] = {
        {"empty", "", true, U"", 0, 0},
        {"ascii", "abc", true, U"abc", 0, 0},
        {"two three four bytes", "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80", true,
         U"\u00E9\u4E2D\U0001F600", 0, 0},
        {"largest code point", "\xF4\x8F\xBF\xBF", true, U"\U0010FFFF", 0, 0},
        {"last before surrogates", "\xED\x9F\xBF", true, U"\uD7FF", 0, 0},
        {"stray continuation", "a\x80", false, U"", 1, 1},
        {"overlong slash C0", "\xC0\xAF", false, U"", 1, 0},
        {"overlong three bytes", "\xE0\x80\xAF", false, U"", 1, 0},
        {"overlong four bytes", "\xF0\x80\x80\xAF", false, U"", 1, 0},
        {"surrogate D800", "\xED\xA0\x80", false, U"", 1, 0},
        {"above U+10FFFF", "\xF4\x90\x80\x80", false, U"", 1, 0},
        {"F5 lead", "\xF5\x80\x80\x80", false, U"", 1, 0},
        {"cut at the end", "ok\xE4\xB8", false, U"", 1, 2},
        {"cut by ascii", "\xE4" "a", false, U"", 1, 0},
        {"latin-1 on line 3", "one\ntwo\r\nthr\xE9\n", false, U"", 3, 12},
    };
    for (const Utf8Case& c : cases) {
        std::u32string decoded;
        std::vector<uint32_t> lines;
        Utf8Problem problem = {0, 0};
        const bool ok = DecodeUtf8(c.bytes, decoded, &lines, &problem);
        EXPECT_EQ(ok, c.valid) << c.name;
        if (c.valid) {
            EXPECT_EQ(decoded, c.codePoints) << c.name;
            EXPECT_EQ(EncodeUtf8(decoded), c.bytes) << c.name;
            EXPECT_EQ(FromUtf16(ToUtf16(decoded)), decoded) << c.name;
        } else {
            EXPECT_EQ(problem.line, c.line) << c.name;
            EXPECT_EQ(problem.byteOffset, c.offset) << c.name;
        }
    }
}

TEST(Utf8Decoding, CountsLinesAfterEachLineFeed) {
    std::u32string decoded;
    std::vector<uint32_t> lines;
    ASSERT_TRUE(DecodeUtf8("a\nb\r\n\xE4\xB8\xAD\n", decoded, &lines, nullptr));
    EXPECT_EQ(lines, (std::vector<uint32_t>{1, 1, 2, 2, 2, 3, 3}));
}

TEST(Utf16, SurrogatePairsBothWaysAndLoneSurrogatesReplaced) {
    EXPECT_EQ(ToUtf16(U"\U0001F600"), std::u16string(u"\xD83D\xDE00"));
    EXPECT_EQ(FromUtf16(std::u16string(u"\xD83D\xDE00")), U"\U0001F600");
    const char16_t lone[] = {u'a', 0xD83D, u'b', 0xDE00};
    EXPECT_EQ(FromUtf16(std::u16string(lone, 4)), U"a\uFFFDb\uFFFD");
}

struct EncodeCase {
    const char* name;
    uint32_t codePage;
    std::string utf8;
    bool ok;
    std::string bytes;                // when ok
    DescriptionProblem::Kind kind;    // when not
    uint32_t line;
    char32_t codePoint;               // Unmappable
    uint32_t byteOffset;              // BadUtf8
};

TEST(DescriptionEncoding, ConvertsToTheCodePageOrNamesTheBadCharacter) {
    using K = DescriptionProblem;
    const EncodeCase cases[] = {
        {"936 simplified", 936, "中文", true, "\xD6\xD0\xCE\xC4", K::None, 0, 0, 0},
        {"936 traditional", 936, "補丁說明", true, "\xD1\x61\xB6\xA1\xD5\x66\xC3\xF7", K::None, 0, 0, 0},
        {"950 traditional", 950, "補丁說明", true, "\xB8\xC9\xA4\x42\xBB\xA1\xA9\xFA", K::None, 0, 0, 0},
        {"1252 latin", 1252, "café ß", true, "caf\xE9 \xDF", K::None, 0, 0, 0},
        {"empty", 936, "", true, "", K::None, 0, 0, 0},
        {"LF becomes CR LF", 936, "a\nb", true, "a\r\nb", K::None, 0, 0, 0},
        {"CR LF kept", 936, "a\r\nb\n", true, "a\r\nb\r\n", K::None, 0, 0, 0},
        {"blank lines", 936, "\n\n", true, "\r\n\r\n", K::None, 0, 0, 0},
        {"lone CR kept", 936, "a\rb", true, "a\rb", K::None, 0, 0, 0},
        {"BOM dropped", 936, "\xEF\xBB\xBF中", true, "\xD6\xD0", K::None, 0, 0, 0},
        {"BOM only once", 1252, "\xEF\xBB\xBF" "a", true, "a", K::None, 0, 0, 0},
        {"sharp s not in 936", 936, "ok\nline two \xC3\x9F", false, "", K::Unmappable, 2, 0xDF, 0},
        {"simplified not in 950", 950, "正體\n简体", false, "", K::Unmappable, 2, 0x7B80, 0},
        {"hanzi not in 1252", 1252, "abc\n\n中", false, "", K::Unmappable, 3, 0x4E2D, 0},
        {"first of several", 1252, "a中b文", false, "", K::Unmappable, 1, 0x4E2D, 0},
        {"emoji (surrogate pair)", 936, "x\n中😀", false, "", K::Unmappable, 2, 0x1F600, 0},
        {"after an emoji", 1252, "\xC3\xA9\n\n\xE2\x82\xAC\xF0\x9F\x98\x80" "a\xD0\x96", false, "",
         K::Unmappable, 3, 0x1F600, 0},
        {"not UTF-8", 936, "a\n\x80", false, "", K::BadUtf8, 2, 0, 2},
        {"not UTF-8 after BOM", 936, "\xEF\xBB\xBF\xFF", false, "", K::BadUtf8, 1, 0, 3},
        {"NUL", 936, std::string("a\0b", 3), false, "", K::NulCharacter, 1, 0, 0},
        {"UTF-16 without a mark", 936, std::string("x\0\n\0y\0", 6), false, "", K::NulCharacter, 1,
         0, 0},
        {"UTF-16LE with a mark", 936, std::string("\xFF\xFE\x2D\x4E\n\0a\0", 8), true, "\xD6\xD0\r\na",
         K::None, 0, 0, 0},
        {"UTF-16BE with a mark, surrogate pair", 1252, std::string("\xFE\xFF\0a\xD8\x3D\xDE\x00", 8), false, "",
         K::Unmappable, 1, 0x1F600, 0},
        {"UTF-16 lone surrogate", 936, std::string("\xFF\xFE" "a\0\n\0\x00\xDC", 8), false, "", K::BadUtf16, 2,
         0, 6},
        {"UTF-16 odd length", 936, std::string("\xFF\xFE" "a\0b", 5), false, "", K::BadUtf16, 1, 0, 4},
    };
    for (const EncodeCase& c : cases) {
        std::string encoded;
        std::vector<DescriptionProblem> problems;
        const bool ok = EncodeDescription(c.utf8, c.codePage, encoded, problems);
        EXPECT_EQ(ok, c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(encoded, c.bytes) << c.name;
            continue;
        }
        ASSERT_EQ(problems.size(), 1u) << c.name;
        const DescriptionProblem& problem = problems[0];
        EXPECT_EQ(problem.kind, c.kind) << c.name;
        EXPECT_EQ(problem.line, c.line) << c.name;
        if (c.kind == K::Unmappable) EXPECT_EQ(problem.codePoints[0], c.codePoint) << c.name;
        if (c.kind == K::BadUtf8 || c.kind == K::BadUtf16) EXPECT_EQ(problem.byteOffset, c.byteOffset) << c.name;
    }
}

// Every line with characters the code page cannot hold, each character once.
TEST(DescriptionEncoding, NamesEveryLineWithCharactersTheCodePageCannotHold) {
    std::string encoded;
    std::vector<DescriptionProblem> problems;
    ASSERT_FALSE(EncodeDescription("中文\nfine\nstraße é ß\n\n日本語 ok\n", 1252, encoded, problems));
    std::vector<std::string> texts;
    for (const DescriptionProblem& problem : problems) texts.push_back(DescribeProblem(problem, 1252));
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "line 1: U+4E2D '中', U+6587 '文' cannot be written in code page 1252",
                         "line 5: U+65E5 '日', U+672C '本', U+8A9E '語' cannot be written in code page 1252",
                     }));
    // GBK holds the pinyin é, not ß or ä.
    ASSERT_FALSE(EncodeDescription("ok\nstraße é ä ß\n", 936, encoded, problems));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(DescribeProblem(problems[0], 936), "line 2: U+00DF 'ß', U+00E4 'ä' cannot be written in code page 936");
}

TEST(DescriptionEncoding, ProblemTextsNameCharacterLineAndCodePage) {
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"ok\nline two \xC3\x9F", "line 2: U+00DF 'ß' cannot be written in code page 936"},
        {"a\n\n\xE9", "line 3: not UTF-8 text (byte 0xE9 at offset 3)"},
        // 中文說明 saved as GBK and as Big5.
        {"\xD6\xD0\xCE\xC4\xD5\x66\xC3\xF7", "line 1: not UTF-8 text (byte 0xD6 at offset 0); it looks like "
                                              "GBK/Big5 text: save it as UTF-8"},
        {"ok\r\n\xA4\xA4\xA4\xE5", "line 2: not UTF-8 text (byte 0xA4 at offset 4); it looks like GBK/Big5 "
                                      "text: save it as UTF-8"},
        {std::string("\xFF\xFE" "a\0\x00\xDC", 6),
         "line 1: not UTF-16 text (a lone surrogate or a cut unit at offset 4)"},
    };
    for (const auto& c : cases) {
        std::string encoded;
        std::vector<DescriptionProblem> problems;
        ASSERT_FALSE(EncodeDescription(c.text, 936, encoded, problems)) << c.message;
        ASSERT_EQ(problems.size(), 1u) << c.message;
        EXPECT_EQ(DescribeProblem(problems[0], 936), c.message);
    }
}

TEST(DescriptionEncoding, CodePagesTheProgramCanUse) {
    for (uint32_t cp : {936u, 950u, 1252u, 932u, 65001u}) EXPECT_TRUE(IsUsableCodePage(cp)) << cp;
    // 37 is EBCDIC ("A" is 0xC1), 1200 is UTF-16, 12345 does not exist.
    for (uint32_t cp : {37u, 1200u, 12345u}) EXPECT_FALSE(IsUsableCodePage(cp)) << cp;
}

TEST(DescriptionDecoding, ShowsTheCarriedBytesAsUtf8AndMarksBadOnes) {
    struct Case {
        uint32_t codePage;
        std::string bytes;
        bool clean;
        std::string utf8;
        uint32_t firstBad;
    } cases[] = {
        {936, "\xD6\xD0\xCE\xC4\r\nok", true, "中文\r\nok", 0},
        {950, "\xB8\xC9\xA4\x42", true, "補丁", 0},
        {1252, "caf\xE9", true, "café", 0},
        {936, "", true, "", 0},
        {936, "a\x81", false, "a\xEF\xBF\xBD", 1},
        {950, "\xB8\xC9\xB8", false, "補\xEF\xBF\xBD", 2},
    };
    for (const Case& c : cases) {
        std::string utf8;
        uint32_t bad = 0xFFFFFFFF;
        EXPECT_EQ(DecodeDescription(c.bytes, c.codePage, utf8, bad), c.clean) << c.utf8;
        EXPECT_EQ(utf8, c.utf8);
        if (!c.clean) EXPECT_EQ(bad, c.firstBad) << c.utf8;
    }
}

struct ArgsCase {
    std::vector<std::string> args;
    bool ok;
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> positionals;
    std::string error;
};

TEST(CommandLineParsing, OptionsValuesAndPositionals) {
    const OptionDef defs[] = {{"stub", 0, true}, {"output", 'o', true}, {"backup", 0, false}};
    const ArgsCase cases[] = {
        {{"--stub", "a", "-o", "b"}, true, {{"stub", "a"}, {"output", "b"}}, {}, ""},
        {{"--stub=a=b"}, true, {{"stub", "a=b"}}, {}, ""},
        {{"-ob"}, true, {{"output", "b"}}, {}, ""},
        {{"x", "--backup", "y"}, true, {{"backup", ""}}, {"x", "y"}, ""},
        {{"x", "--", "--stub"}, true, {}, {"x", "--stub"}, ""},
        {{"-"}, true, {}, {"-"}, ""},
        {{"--stub", "-"}, true, {{"stub", "-"}}, {}, ""},
        {{"--nope"}, false, {}, {}, "unknown option --nope"},
        {{"-z"}, false, {}, {}, "unknown option -z"},
        {{"--stub"}, false, {}, {}, "option --stub needs a value"},
        {{"-o"}, false, {}, {}, "option -o needs a value"},
        {{"--backup=1"}, false, {}, {}, "option --backup takes no value"},
        {{"--stub", "a", "--stub", "b"}, false, {}, {}, "option --stub given more than once"},
        {{"-o", "x", "--output", "y"}, false, {}, {}, "option --output given more than once"},
    };
    for (const ArgsCase& c : cases) {
        CommandLine line;
        std::string error;
        const bool ok = ParseCommandLine(c.args, defs, 3, line, error);
        const std::string name = c.args.empty() ? "" : c.args[0];
        EXPECT_EQ(ok, c.ok) << name;
        if (ok) {
            EXPECT_EQ(line.options, c.options) << name;
            EXPECT_EQ(line.positionals, c.positionals) << name;
        } else {
            EXPECT_EQ(error, c.error) << name;
        }
    }
}

TEST(CommandLineParsing, CodePageNumbers) {
    const struct {
        const char* text;
        bool ok;
        uint32_t value;
    } cases[] = {{"936", true, 936},  {"65001", true, 65001}, {"1", true, 1},      {"0", false, 0},
                 {"65536", false, 0}, {"-1", false, 0},       {" 936", false, 0}, {"9x", false, 0},
                 {"", false, 0},      {"0x3A8", false, 0},    {"999999", false, 0}};
    for (const auto& c : cases) {
        uint32_t value = 0;
        EXPECT_EQ(ParseCodePage(c.text, value), c.ok) << c.text;
        if (c.ok) EXPECT_EQ(value, c.value) << c.text;
    }
}

}  // namespace
