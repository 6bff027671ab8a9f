#include "tools/tessel_pack/description.h"

#include <stdio.h>

#include <vector>

#include "platform/conversions.h"
#include "tools/tessel_pack/utf8.h"

bool IsUsableCodePage(uint32_t codePage) {
    ByteString probe;
    uint32_t bad = 0;
    return WideToCodePage(codePage, u"A", 1, &probe, &bad) && probe.Length() == 1 &&
           probe[0] == 'A';
}

bool EncodeDescription(const std::string& utf8, uint32_t codePage, std::string& encoded,
                       DescriptionProblem& problem) {
    problem = DescriptionProblem{DescriptionProblem::None, 0, 0, 0};
    encoded.clear();
    std::string text = utf8;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);

    std::u32string decoded;
    std::vector<uint32_t> lineOf;
    Utf8Problem bad;
    if (!DecodeUtf8(text, decoded, &lineOf, &bad)) {
        problem.kind = DescriptionProblem::BadUtf8;
        problem.line = bad.line;
        // Offsets refer to the file as given, byte-order mark included.
        problem.byteOffset = bad.byteOffset + static_cast<uint32_t>(utf8.size() - text.size());
        problem.codePoint = static_cast<uint8_t>(text[bad.byteOffset]);
        return false;
    }

    std::u32string normalised;
    std::vector<uint32_t> normalisedLine;
    normalised.reserve(decoded.size());
    for (size_t i = 0; i < decoded.size(); ++i) {
        if (decoded[i] == 0) {
            problem.kind = DescriptionProblem::NulCharacter;
            problem.line = lineOf[i];
            problem.codePoint = 0;
            return false;
        }
        if (decoded[i] == '\n' && (i == 0 || decoded[i - 1] != '\r')) {
            normalised += U'\r';
            normalisedLine.push_back(lineOf[i]);
        }
        normalised += decoded[i];
        normalisedLine.push_back(lineOf[i]);
    }

    const std::u16string wide = ToUtf16(normalised);
    ByteString out;
    uint32_t badUnit = 0;
    if (!WideToCodePage(codePage, wide.data(), static_cast<uint32_t>(wide.size()), &out, &badUnit)) {
        // Walk the code points to find the one that holds the bad unit.
        size_t unit = 0;
        size_t index = 0;
        while (index < normalised.size()) {
            const size_t width = normalised[index] >= 0x10000 ? 2 : 1;
            if (badUnit < unit + width) break;
            unit += width;
            ++index;
        }
        if (index >= normalised.size()) index = normalised.empty() ? 0 : normalised.size() - 1;
        problem.kind = DescriptionProblem::Unmappable;
        problem.codePoint = normalised.empty() ? 0 : normalised[index];
        problem.line = normalisedLine.empty() ? 1 : normalisedLine[index];
        return false;
    }
    encoded.assign(out.CStr(), out.Length());
    return true;
}

bool DecodeDescription(const std::string& bytes, uint32_t codePage, std::string& utf8,
                       uint32_t& firstBadOffset) {
    utf8.clear();
    bool clean = true;
    size_t at = 0;
    while (at < bytes.size()) {
        WideString wide;
        uint32_t bad = 0;
        const uint32_t left = static_cast<uint32_t>(bytes.size() - at);
        if (CodePageToWide(codePage, bytes.data() + at, left, &wide, &bad)) {
            utf8 += EncodeUtf8(FromUtf16(std::u16string(wide.CStr(), wide.Length())));
            break;
        }
        // Convert the good part before the bad sequence, mark one byte as
        // bad and carry on after it.
        if (bad > left) bad = left - 1;
        if (bad > 0) {
            WideString good;
            uint32_t ignored = 0;
            if (CodePageToWide(codePage, bytes.data() + at, bad, &good, &ignored))
                utf8 += EncodeUtf8(FromUtf16(std::u16string(good.CStr(), good.Length())));
        }
        if (clean) firstBadOffset = static_cast<uint32_t>(at + bad);
        clean = false;
        utf8 += EncodeUtf8(U'\xFFFD');
        at += bad + 1;
    }
    return clean;
}

std::string DescribeProblem(const DescriptionProblem& problem, uint32_t codePage) {
    char text[160];
    switch (problem.kind) {
    case DescriptionProblem::BadUtf8:
        snprintf(text, sizeof text, "line %u: not UTF-8 text (byte 0x%02X at offset %u)",
                 static_cast<unsigned>(problem.line), static_cast<unsigned>(problem.codePoint),
                 static_cast<unsigned>(problem.byteOffset));
        return text;
    case DescriptionProblem::NulCharacter:
        snprintf(text, sizeof text,
                 "line %u: U+0000 (a NUL character) cannot be shown by the program; save the "
                 "description as UTF-8",
                 static_cast<unsigned>(problem.line));
        return text;
    case DescriptionProblem::Unmappable: {
        std::string shown;
        // Control characters are named by number only.
        if (problem.codePoint >= 0x20 && problem.codePoint != 0x7F)
            shown = " '" + EncodeUtf8(problem.codePoint) + "'";
        snprintf(text, sizeof text, "line %u: %s%s cannot be written in code page %u",
                 static_cast<unsigned>(problem.line), CodePointName(problem.codePoint).c_str(),
                 shown.c_str(), static_cast<unsigned>(codePage));
        return text;
    }
    case DescriptionProblem::None: break;
    }
    return "no problem";
}

bool CodePageOption(const CommandLine& line, uint32_t& codePage, std::string& error) {
    codePage = 936;
    if (const std::string* text = line.Value("codepage")) {
        if (!ParseCodePage(*text, codePage)) {
            error = "--codepage needs a code page number, not '" + *text + "'";
            return false;
        }
    }
    if (!IsUsableCodePage(codePage)) {
        error = "code page " + std::to_string(codePage) + " is not an ANSI code page this tool can convert to";
        return false;
    }
    return true;
}
