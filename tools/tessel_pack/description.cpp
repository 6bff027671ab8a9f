#include "tools/tessel_pack/description.h"

#include <stdio.h>

#include <algorithm>
#include <map>
#include <vector>

#include "platform/conversions.h"
#include "tools/tessel_pack/utf8.h"

bool IsUsableCodePage(uint32_t codePage) {
    ByteString probe;
    uint32_t bad = 0;
    return WideToCodePage(codePage, u"A", 1, &probe, &bad) && probe.Length() == 1 &&
           probe[0] == 'A';
}

namespace {

// Exactly valid text in the code page (no bad or cut sequence).
bool ReadsAs(uint32_t codePage, const std::string& bytes) {
    WideString wide;
    uint32_t bad = 0;
    return CodePageToWide(codePage, bytes.data(), static_cast<uint32_t>(bytes.size()), &wide, &bad);
}

bool Refuse(std::vector<DescriptionProblem>& problems, DescriptionProblem problem) {
    problems.push_back(problem);
    return false;
}

// UTF-16 after its byte-order mark; a lone surrogate or an odd last byte is
// refused.
bool DecodeUtf16(const std::string& text, bool littleEndian, std::u32string& decoded,
                 std::vector<uint32_t>& lineOf, std::vector<DescriptionProblem>& problems) {
    auto unit = [&](size_t at) -> char32_t {
        const uint8_t first = static_cast<uint8_t>(text[at]), second = static_cast<uint8_t>(text[at + 1]);
        return littleEndian ? first | second << 8 : first << 8 | second;
    };
    uint32_t line = 1;
    for (size_t at = 2; at < text.size();) {
        DescriptionProblem problem;
        problem.kind = DescriptionProblem::BadUtf16;
        problem.line = line;
        problem.byteOffset = static_cast<uint32_t>(at);
        if (at + 2 > text.size()) return Refuse(problems, problem);
        char32_t c = unit(at);
        size_t width = 2;
        if (c >= 0xD800 && c <= 0xDBFF) {
            const char32_t low = at + 4 <= text.size() ? unit(at + 2) : 0;
            if (low < 0xDC00 || low > 0xDFFF) return Refuse(problems, problem);
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            width = 4;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return Refuse(problems, problem);
        }
        decoded.push_back(c);
        lineOf.push_back(line);
        if (c == '\n') ++line;
        at += width;
    }
    return true;
}

// The file's text as code points with their lines: UTF-16 after its mark, or
// UTF-8 with its mark (if any) dropped. Offsets refer to the file as given.
bool DecodeText(const std::string& text, std::u32string& decoded, std::vector<uint32_t>& lineOf,
                std::vector<DescriptionProblem>& problems) {
    if (text.compare(0, 2, "\xFF\xFE") == 0) return DecodeUtf16(text, true, decoded, lineOf, problems);
    if (text.compare(0, 2, "\xFE\xFF") == 0) return DecodeUtf16(text, false, decoded, lineOf, problems);
    const size_t mark = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    const std::string utf8 = text.substr(mark);
    Utf8Problem bad;
    if (DecodeUtf8(utf8, decoded, &lineOf, &bad)) return true;
    DescriptionProblem problem;
    problem.kind = DescriptionProblem::BadUtf8;
    problem.line = bad.line;
    problem.byteOffset = bad.byteOffset + static_cast<uint32_t>(mark);
    problem.badByte = static_cast<uint8_t>(utf8[bad.byteOffset]);
    problem.looksLikeGbkOrBig5 = ReadsAs(936, utf8) || ReadsAs(950, utf8);
    return Refuse(problems, problem);
}

bool FitsCodePage(uint32_t codePage, char32_t codePoint) {
    const std::u16string units = ToUtf16(std::u32string(1, codePoint));
    ByteString out;
    uint32_t bad = 0;
    return WideToCodePage(codePage, units.data(), static_cast<uint32_t>(units.size()), &out, &bad);
}

}  // namespace

bool EncodeDescription(const std::string& text, uint32_t codePage, std::string& encoded,
                       std::vector<DescriptionProblem>& problems) {
    problems.clear();
    encoded.clear();
    std::u32string decoded;
    std::vector<uint32_t> lineOf;
    if (!DecodeText(text, decoded, lineOf, problems)) return false;

    std::u32string normalised;
    std::vector<uint32_t> normalisedLine;
    normalised.reserve(decoded.size());
    for (size_t i = 0; i < decoded.size(); ++i) {
        if (decoded[i] == 0) {
            DescriptionProblem problem;
            problem.kind = DescriptionProblem::NulCharacter;
            problem.line = lineOf[i];
            return Refuse(problems, problem);
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
    if (WideToCodePage(codePage, wide.data(), static_cast<uint32_t>(wide.size()), &out, &badUnit)) {
        encoded.assign(out.CStr(), out.Length());
        return true;
    }
    // Every character the code page cannot hold, gathered by line; each
    // distinct character is tried once.
    std::map<char32_t, bool> fits;
    for (size_t i = 0; i < normalised.size(); ++i) {
        const char32_t c = normalised[i];
        auto known = fits.find(c);
        if (known == fits.end()) known = fits.emplace(c, FitsCodePage(codePage, c)).first;
        if (known->second) continue;
        if (problems.empty() || problems.back().line != normalisedLine[i]) {
            DescriptionProblem problem;
            problem.kind = DescriptionProblem::Unmappable;
            problem.line = normalisedLine[i];
            problems.push_back(problem);
        }
        std::vector<char32_t>& line = problems.back().codePoints;
        if (std::find(line.begin(), line.end(), c) == line.end()) line.push_back(c);
    }
    if (problems.empty()) {
        // Each character fits alone but not the text as a whole: name the
        // character the conversion stopped at.
        size_t unit = 0, index = 0;
        while (index + 1 < normalised.size() && unit + (normalised[index] >= 0x10000 ? 2 : 1) <= badUnit)
            unit += normalised[index++] >= 0x10000 ? 2 : 1;
        DescriptionProblem problem;
        problem.kind = DescriptionProblem::Unmappable;
        problem.line = normalisedLine.empty() ? 1 : normalisedLine[index];
        problem.codePoints.push_back(normalised.empty() ? 0 : normalised[index]);
        problems.push_back(problem);
    }
    return false;
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
    const std::string line = "line " + std::to_string(problem.line) + ": ";
    char text[64];
    switch (problem.kind) {
    case DescriptionProblem::BadUtf8:
        snprintf(text, sizeof text, "not UTF-8 text (byte 0x%02X at offset %u)", static_cast<unsigned>(problem.badByte),
                 static_cast<unsigned>(problem.byteOffset));
        return line + text + (problem.looksLikeGbkOrBig5 ? "; it looks like GBK/Big5 text: save it as UTF-8" : "");
    case DescriptionProblem::BadUtf16:
        return line + "not UTF-16 text (a lone surrogate or a cut unit at offset " +
               std::to_string(problem.byteOffset) + ")";
    case DescriptionProblem::NulCharacter:
        return line + "U+0000 (a NUL character) cannot be shown by the program; save the description as UTF-8";
    case DescriptionProblem::Unmappable: {
        std::string names;
        for (char32_t c : problem.codePoints) {
            if (!names.empty()) names += ", ";
            names += CodePointName(c);
            // Control characters are named by number only.
            if (c >= 0x20 && c != 0x7F) names += " '" + EncodeUtf8(c) + "'";
        }
        return line + names + " cannot be written in code page " + std::to_string(codePage);
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
