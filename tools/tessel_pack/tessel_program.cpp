#include "tools/tessel_pack/tessel_program.h"

#include <string.h>

// In two pieces, so that the tool's own data does not hold the marker whole
// (the Windows tool, a console program, is refused before the search anyway).
static const char kMarkerHead[] = "TESSEL-";
static const char kMarkerTail[] = "STUB/";

static bool IsVersionCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' ||
           c == '+' || c == '-';
}

// The version after the first complete marker in bytes[0, end), or "".
static std::string MarkerVersion(const std::string& bytes, size_t end) {
    const std::string marker = std::string(kMarkerHead) + kMarkerTail;
    for (size_t at = bytes.find(marker); at != std::string::npos && at < end;
         at = bytes.find(marker, at + 1)) {
        const size_t start = at + marker.size();
        size_t stop = start;
        while (stop < end && stop - start <= 16 && IsVersionCharacter(bytes[stop])) ++stop;
        if (stop > start && stop - start <= 16 && stop < end && bytes[stop] == '\0')
            return bytes.substr(start, stop - start);
    }
    return "";
}

bool RecogniseTesselProgram(const std::string& bytes, const PeLayout& layout, std::string& version,
                            std::string& reason) {
    const char* const hint = "; give tessel-stub.exe or a patcher made by tessel-pack)";
    if (layout.subsystem != 2) {
        reason = std::string("not a Tessel program (") +
                 (layout.subsystem == 3 ? "a Windows console program" : "not a Windows GUI program") + hint;
        return false;
    }
    const size_t end = layout.imageEnd < bytes.size() ? static_cast<size_t>(layout.imageEnd) : bytes.size();
    version = MarkerVersion(bytes, end);
    if (version.empty()) {
        reason = std::string("not a Tessel program (it has no Tessel stub marker") + hint;
        return false;
    }
    return true;
}

std::string RecogniseOtherFormat(const std::string& bytes) {
    static const struct {
        const char* signature;
        size_t length;
        const char* name;
    } kFormats[] = {
        {"BPS1", 4, "a BPS patch"},
        {"UPS1", 4, "a UPS patch"},
        {"\xD6\xC3\xC4", 3, "an xdelta (VCDIFF) patch"},
        {"PPF", 3, "a PPF patch"},
        {"PK\x03\x04", 4, "a ZIP archive"},
        {"PK\x05\x06", 4, "a ZIP archive"},
        {"7z\xBC\xAF\x27\x1C", 6, "a 7-Zip archive"},
        {"Rar!\x1A\x07", 6, "a RAR archive"},
        {"\x1F\x8B", 2, "a gzip file"},
        {"MZ", 2, "a Windows program"},
    };
    for (const auto& format : kFormats)
        if (bytes.size() >= format.length && memcmp(bytes.data(), format.signature, format.length) == 0)
            return format.name;
    return "";
}

std::string NotAnIpsPatch(const std::string& format) {
    std::string text = format + ": Tessel carries IPS and BPS patches";
    if (format.find("archive") != std::string::npos || format == "a gzip file")
        text += " (take the .ips or .bps out of it first)";
    return text;
}
