// tessel-pack inspect: what a patcher carries, read as the program reads it.
#include <stdio.h>

#include "patch/ips_patch.h"
#include "tools/tessel_pack/args.h"
#include "tools/tessel_pack/commands.h"
#include "tools/tessel_pack/description.h"
#include "tools/tessel_pack/file_io.h"
#include "tools/tessel_pack/help.h"
#include "tools/tessel_pack/patch_report.h"
#include "tools/tessel_pack/payload.h"

static const char kCommand[] = "inspect";

static const OptionDef kInspectOptions[] = {
    {"codepage", 0, true},
    {"help", 'h', false},
};

static int UsageError(const Console& console, const std::string& what) {
    PrintError(console, kCommand, "", what + " (see 'tessel-pack inspect --help')");
    return kExitUsage;
}

static void Field(const Console& console, const char* name, const std::string& value) {
    fprintf(console.out, "%-20s %s\n", name, value.c_str());
}

// The patch part of the report; returns the exit code its verdict means.
static int ReportPatch(const Console& console, const std::string& fileName, const std::string& patch,
                       const std::vector<std::string>& extraWarnings) {
    PatchScan scan;
    const bool valid = ScanPatch(reinterpret_cast<const uint8_t*>(patch.data()),
                                 static_cast<uint32_t>(patch.size()), &scan);
    if (valid) {
        Field(console, "records", std::to_string(scan.recordCount) + " (" +
                                      std::to_string(scan.dataRecords) + " data, " +
                                      std::to_string(scan.runRecords) + " run)");
        Field(console, "data bytes", std::to_string(scan.dataBytes));
        Field(console, "run bytes", std::to_string(scan.runBytes));
        if (scan.highestEnd != 0) {
            Field(console, "lowest offset", Hex24(scan.lowestOffset));
            Field(console, "highest offset", Hex24(scan.highestEnd - 1));
        } else {
            Field(console, "lowest offset", "none (no record writes a byte)");
            Field(console, "highest offset", "none");
        }
        const uint32_t size = ResultingTargetSize(scan, 0);
        const std::string sizeText = std::to_string(size) + " bytes (" + Hex24(size) + ")";
        if (scan.endMarker == PatchEndTruncate)
            Field(console, "target size", "exactly " + sizeText + ", set by the truncation size");
        else
            Field(console, "minimum target size", sizeText);
        if (scan.endMarker == PatchEndNone)
            Field(console, "end marker", "none (records run to the end of the block)");
        else
            Field(console, "end marker", "\"EOF\" at block offset " + HexValue(scan.endMarkerOffset));
        Field(console, "truncation",
              scan.endMarker == PatchEndTruncate
                  ? std::to_string(scan.truncateSize) + " bytes (" + Hex24(scan.truncateSize) + ")"
                  : std::string("none"));
    }

    std::vector<std::string> warnings = extraWarnings;
    if (valid)
        for (const std::string& warning : PatchWarnings(scan)) warnings.push_back(warning);
    for (const std::string& warning : warnings) Field(console, "warning", warning);

    if (!valid) {
        Field(console, "verdict", "refused: " + DescribePatchProblem(scan, patch) +
                                      "; the program shows \"程序錯誤!\" and changes nothing");
        fflush(console.out);
        PrintError(console, kCommand, fileName, "the patch is malformed: " + DescribePatchProblem(scan, patch));
        return kExitRefused;
    }
    std::string verdict = "valid: the program applies " + std::to_string(scan.recordCount) +
                          (scan.recordCount == 1 ? " record" : " records");
    if (!warnings.empty())
        verdict += " (" + std::to_string(warnings.size()) +
                   (warnings.size() == 1 ? " warning)" : " warnings)");
    Field(console, "verdict", verdict);
    return kExitSuccess;
}

int RunInspect(const std::vector<std::string>& args, const Console& console) {
    CommandLine line;
    std::string error;
    if (!ParseCommandLine(args, kInspectOptions, sizeof kInspectOptions / sizeof kInspectOptions[0],
                          line, error))
        return UsageError(console, error);
    if (line.Has("help")) {
        fputs(kInspectHelp, console.out);
        return kExitSuccess;
    }
    if (line.positionals.empty()) return UsageError(console, "missing FILE");
    if (line.positionals.size() > 1)
        return UsageError(console, "unexpected argument '" + line.positionals[1] + "'");
    uint32_t codePage = 0;
    std::string codePageError;
    if (!CodePageOption(line, codePage, codePageError)) return UsageError(console, codePageError);
    const std::string& path = line.positionals[0];

    std::string bytes, reason;
    if (!ReadWholeFile(path, bytes, reason)) {
        PrintError(console, kCommand, path, reason);
        return kExitIoFailure;
    }

    // A bare patch: everything but the container.
    if (bytes.compare(0, 5, "PATCH") == 0) {
        Field(console, "file", path + " (" + std::to_string(bytes.size()) + " bytes, an IPS patch)");
        const int code = ReportPatch(console, path, bytes, {});
        fflush(console.out);
        return code;
    }

    CarriedPayload carried;
    ReadCarriedPayload(path, carried);
    if (carried.info.fileSize != bytes.size()) {
        PrintError(console, kCommand, path, "changed while it was being read");
        return kExitIoFailure;
    }
    Field(console, "file", path + " (" + std::to_string(bytes.size()) + " bytes)");
    if (!carried.patchFound) {
        Field(console, "patch block", "L1 = " + std::to_string(carried.info.l1) +
                                          ": not a length that fits the file");
        Field(console, "verdict", "no payload: the program shows an empty description and "
                                  "\"程序錯誤!\" on every run");
        fflush(console.out);
        PrintError(console, kCommand, path, "carries no payload (L1 = " +
                                                std::to_string(carried.info.l1) + ")");
        return kExitRefused;
    }

    Field(console, "executable", std::to_string(carried.info.payloadOffset) + " bytes");
    std::vector<std::string> warnings;
    if (carried.info.l2Valid) {
        Field(console, "description block",
              "L2 = " + std::to_string(carried.info.l2) + ": " +
                  std::to_string(carried.description.size()) + " bytes of text");
    } else {
        Field(console, "description block", "L2 = " + std::to_string(carried.info.l2) +
                                                ": not a length that fits the file");
        warnings.push_back("the description length is damaged: the program shows no description");
    }
    Field(console, "patch block", "L1 = " + std::to_string(carried.info.l1) + ": " +
                                      std::to_string(carried.patch.size()) + " bytes of patch");

    std::string text;
    uint32_t firstBad = 0;
    if (!DecodeDescription(carried.description, codePage, text, firstBad))
        warnings.push_back("the description is not valid code page " + std::to_string(codePage) +
                           " text from byte " + std::to_string(firstBad) +
                           " (try another --codepage); shown with U+FFFD in its place");

    const int code = ReportPatch(console, path, carried.patch, warnings);
    // Written with fwrite: a hand-made description may hold NUL bytes.
    fprintf(console.out, "--- description (code page %u, %u bytes) ---\n",
            static_cast<unsigned>(codePage), static_cast<unsigned>(carried.description.size()));
    fwrite(text.data(), 1, text.size(), console.out);
    fputs("\n--- end of description ---\n", console.out);
    fflush(console.out);
    return code;
}
