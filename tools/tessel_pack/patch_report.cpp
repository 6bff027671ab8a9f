#include "tools/tessel_pack/patch_report.h"

#include <stdio.h>

#include "base/byte_order.h"

std::string Hex24(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%06X", static_cast<unsigned>(value));
    return text;
}

std::string HexValue(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

// The caller has checked that count bytes stand at `at`.
static uint32_t BigEndianAt(const std::string& block, uint32_t at, uint32_t count) {
    return ReadBigEndian(reinterpret_cast<const uint8_t*>(block.data()) + at, count);
}

static const char* PatchProblemText(PatchProblem problem) {
    switch (problem) {
    case PatchProblemNone: return "no problem";
    case PatchProblemNoHeader: return "does not begin with \"PATCH\"";
    case PatchProblemCutInOffset: return "record cut short in its offset";
    case PatchProblemCutInSize: return "record cut short in its size";
    case PatchProblemCutInData: return "record cut short in its data";
    case PatchProblemCutInRunCount: return "run record cut short in its run length";
    case PatchProblemCutInRunValue: return "run record cut short in its value";
    }
    return "unknown problem";
}

std::string DescribePatchProblem(const PatchScan& scan, const std::string& block) {
    if (scan.problem == PatchProblemNoHeader) {
        if (block.empty()) return "not an IPS patch: the file is empty";
        return "not an IPS patch: it does not begin with \"PATCH\"";
    }
    const uint32_t start = scan.problemRecordOffset;
    std::string text = "record " + std::to_string(scan.problemRecord) + " at block offset " +
                       HexValue(start);
    // The offset field is whole in every case but a cut offset.
    if (scan.problem != PatchProblemCutInOffset && static_cast<uint64_t>(start) + 3 <= block.size())
        text += " (target offset " + Hex24(BigEndianAt(block, start, 3)) + ")";
    text += ": ";
    text += PatchProblemText(scan.problem);
    const uint64_t field = scan.problemFieldOffset;
    const uint64_t left = field <= block.size() ? block.size() - field : 0;
    if (scan.problem == PatchProblemCutInData && static_cast<uint64_t>(start) + 5 <= block.size()) {
        text += " (needs " + std::to_string(BigEndianAt(block, start + 3, 2)) +
                " bytes from block offset " + HexValue(field) + ", " + std::to_string(left) +
                " left)";
    } else {
        text += " (" + std::to_string(left) + (left == 1 ? " byte" : " bytes") +
                " left at block offset " + HexValue(field) + ")";
    }
    // "EOF" followed by anything but nothing or a 3-byte size is read as the
    // offset of a record, so trailing bytes after a marker make a patch cut.
    uint32_t eof = 0;
    bool sawEof = false;
    if (scan.markerLikeRecord != 0) {
        eof = scan.markerLikeRecordOffset;
        sawEof = true;
    } else if (static_cast<uint64_t>(start) + 3 <= block.size() && block.compare(start, 3, "EOF") == 0) {
        eof = start;
        sawEof = true;
    }
    if (sawEof)
        text += "; the \"EOF\" at block offset " + HexValue(eof) +
                " is read as a record because more than 3 bytes follow it";
    return text;
}

std::vector<std::string> PatchWarnings(const PatchScan& scan) {
    std::vector<std::string> warnings;
    // A patch of no records but a truncation size does change the target:
    // that is said once, by the truncation warning below.
    if (scan.recordCount == 0 && scan.endMarker != PatchEndTruncate)
        warnings.push_back("the patch has no records: it changes nothing");
    if (scan.markerLikeRecord != 0) {
        std::string text = "record " + std::to_string(scan.markerLikeRecord) +
                           " at block offset " + HexValue(scan.markerLikeRecordOffset) +
                           " writes at offset 0x454F46, whose bytes read \"EOF\": the program "
                           "applies it as a record, other IPS tools take it for the end marker";
        if (scan.recordsAfterMarkerLike != 0)
            text += " and ignore the " + std::to_string(scan.recordsAfterMarkerLike) +
                    (scan.recordsAfterMarkerLike == 1 ? " record" : " records") + " after it";
        warnings.push_back(text);
    }
    if (scan.endMarker == PatchEndTruncate)
        warnings.push_back("the end marker at block offset " + HexValue(scan.endMarkerOffset) +
                           " carries a truncation size: " +
                           std::string(scan.recordCount == 0 ? "the patch has no records, and the program "
                                                             : "after the records the program ") +
                           (scan.truncateSize == 0 ? std::string("empties the target (cuts it to 0 bytes)")
                                                   : "cuts or extends the target to exactly " +
                                                         std::to_string(scan.truncateSize) + " bytes (" +
                                                         Hex24(scan.truncateSize) + ")"));
    return warnings;
}

static const char* BpsProblemText(BpsProblem problem) {
    switch (problem) {
    case BpsProblemNone: return "no problem";
    case BpsProblemNoHeader: return "does not begin with \"BPS1\"";
    case BpsProblemCutHeader: return "too short for its sizes and its three CRC-32s";
    case BpsProblemBadNumber: return "a number is cut short by the CRC-32s or larger than any size";
    case BpsProblemTooLarge: return "a source or target of 4 GiB or more";
    case BpsProblemCutMetadata: return "the metadata runs into the CRC-32s";
    case BpsProblemPatchCrc: return "damaged: the patch's own CRC-32 does not match its bytes";
    case BpsProblemCutData: return "TargetRead data runs into the CRC-32s";
    case BpsProblemPastTarget: return "writes past the end of the target";
    case BpsProblemOutsideSource: return "reads outside the source";
    case BpsProblemOutsideTarget: return "TargetCopy reads before the start or a byte not yet written";
    case BpsProblemShortTarget: return "the actions end before the target is whole";
    case BpsProblemSourceMismatch: return "the source is not the file the patch was made for";
    case BpsProblemTargetMismatch: return "the result does not have the patch's size and CRC-32";
    }
    return "unknown problem";
}

std::string DescribeBpsProblem(const BpsScan& scan) {
    std::string text = "a BPS patch: ";
    if (scan.problemAction != 0)
        text += "action " + std::to_string(scan.problemAction) + " at block offset " + HexValue(scan.problemOffset) + ": ";
    else if (scan.problem != BpsProblemNoHeader && scan.problem < BpsProblemSourceMismatch)
        text += "at block offset " + HexValue(scan.problemOffset) + ": ";
    return text + BpsProblemText(scan.problem);
}

std::string SizeAndCrc(uint64_t size, uint32_t crc) {
    char hex[16];
    snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(crc));
    return std::to_string(size) + " bytes, CRC-32 " + hex;
}

std::string BpsMetadataText(const BpsScan& scan, const std::string& block) {
    const BpsHeader& h = scan.header;
    if (h.metadataSize == 0) return "none";
    std::string text = block.substr(h.metadataOffset, h.metadataSize);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') c = '?';
    return text;
}
