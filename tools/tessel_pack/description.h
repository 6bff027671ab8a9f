// The description as the author writes it (UTF-8 text) and as the container
// carries it (bytes in the code page of the Windows that will show it).
#pragma once
#include <stdint.h>

#include <string>

#include "tools/tessel_pack/args.h"

struct DescriptionProblem {
    enum Kind {
        None,
        BadUtf8,      // not UTF-8: line and byteOffset tell where
        NulCharacter, // U+0000: the edit box would stop there (often a UTF-16 file)
        Unmappable    // codePoint has no exact form in the code page: line tells where
    };
    Kind kind;
    uint32_t line;
    uint32_t byteOffset;
    char32_t codePoint;
};

// True when the code page can be converted to here and is ASCII-compatible,
// as every Windows ANSI code page is ("A" stays "A"). This keeps a typo such
// as 37 (EBCDIC) or 1200 (UTF-16) from producing a description the program
// could never display.
bool IsUsableCodePage(uint32_t codePage);

// The --codepage option of a command line (936 when absent): false with a
// usage message when it is not a number or not a usable code page.
bool CodePageOption(const CommandLine& line, uint32_t& codePage, std::string& error);

// UTF-8 text -> container bytes in codePage. A leading UTF-8 byte-order mark
// is dropped; a line feed not preceded by a carriage return becomes CR LF
// (the program's multi-line edit box breaks lines only at CR LF). Refuses,
// naming the first offending character and its line, text that is not
// UTF-8, that holds U+0000, or that the code page cannot hold exactly.
bool EncodeDescription(const std::string& utf8, uint32_t codePage, std::string& encoded,
                       DescriptionProblem& problem);

// Container bytes in codePage -> UTF-8 for display. Byte sequences that are
// not valid in the code page each become U+FFFD; the result is then false
// and firstBadOffset is the byte offset of the first of them.
bool DecodeDescription(const std::string& bytes, uint32_t codePage, std::string& utf8,
                       uint32_t& firstBadOffset);

// "line 3: U+00E9 'é' cannot be written in code page 936" and the like.
std::string DescribeProblem(const DescriptionProblem& problem, uint32_t codePage);
