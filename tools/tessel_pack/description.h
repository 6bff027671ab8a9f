// The description as the author writes it (UTF-8 text, or UTF-16 with a
// byte-order mark) and as the container carries it (bytes in the code page of
// the Windows that will show it).
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "tools/tessel_pack/args.h"

struct DescriptionProblem {
    enum Kind {
        None,
        BadUtf8,       // not UTF-8: line and byteOffset tell where
        BadUtf16,      // a UTF-16 file cut short or with a lone surrogate: line and byteOffset
        NulCharacter,  // U+0000: the edit box would stop there (often UTF-16 without a mark)
        Unmappable     // characters of one line that the code page cannot hold exactly
    };
    Kind kind = None;
    uint32_t line = 0;
    uint32_t byteOffset = 0;
    uint8_t badByte = 0;                // BadUtf8: the byte at byteOffset
    bool looksLikeGbkOrBig5 = false;    // BadUtf8: the whole text reads as code page 936 or 950
    std::vector<char32_t> codePoints;   // Unmappable: that line's characters, each once, in order
};

// True when the code page can be converted to here and is ASCII-compatible,
// as every Windows ANSI code page is ("A" stays "A"). This keeps a typo such
// as 37 (EBCDIC) or 1200 (UTF-16) from producing a description the program
// could never display.
bool IsUsableCodePage(uint32_t codePage);

// The --codepage option of a command line (936 when absent): false with a
// usage message when it is not a number or not a usable code page.
bool CodePageOption(const CommandLine& line, uint32_t& codePage, std::string& error);

// Description file -> container bytes in codePage. The file is UTF-8 (a
// byte-order mark is dropped) or UTF-16 with a byte-order mark (little- or
// big-endian). A line feed not preceded by a carriage return becomes CR LF
// (the program's multi-line edit box breaks lines only at CR LF). Refuses
// text that is not UTF-8 (with a hint when it reads as GBK or Big5) or holds
// U+0000: one problem. Refuses text the code page cannot hold exactly: one
// problem for every line with such characters.
bool EncodeDescription(const std::string& text, uint32_t codePage, std::string& encoded,
                       std::vector<DescriptionProblem>& problems);

// Container bytes in codePage -> UTF-8 for display. Byte sequences that are
// not valid in the code page each become U+FFFD; the result is then false
// and firstBadOffset is the byte offset of the first of them.
bool DecodeDescription(const std::string& bytes, uint32_t codePage, std::string& utf8,
                       uint32_t& firstBadOffset);

// "line 3: U+00E9 'é' cannot be written in code page 936" and the like.
std::string DescribeProblem(const DescriptionProblem& problem, uint32_t codePage);
