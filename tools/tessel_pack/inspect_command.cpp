// tessel-pack inspect: what a patcher carries, read as the program reads it.
#include "patch/bps_patch.h"
#include "patch/ips_patch.h"
#include "patch/patch_format.h"
#include "patch/target_check.h"
#include "tools/tessel_pack/command_job.h"
#include "tools/tessel_pack/commands.h"
#include "tools/tessel_pack/description.h"
#include "tools/tessel_pack/file_io.h"
#include "tools/tessel_pack/help.h"
#include "tools/tessel_pack/patch_report.h"
#include "tools/tessel_pack/payload.h"
#include "tools/tessel_pack/pe_layout.h"
#include "tools/tessel_pack/pe_resources.h"
#include "tools/tessel_pack/signing.h"
#include "tools/tessel_pack/tessel_program.h"

static const OptionDef kInspectOptions[] = {
    {"codepage", 0, true, false},
    {"help", 'h', false, false},
};
static const CommandSpec kInspect = {"inspect", kInspectOptions,
                                     sizeof kInspectOptions / sizeof kInspectOptions[0], kInspectHelp};

namespace {

struct InspectJob : CommandJob {
    InspectJob(const Console& console) : CommandJob(kInspect, console) {}

    std::string path;
    uint32_t codePage = 0;
    std::string bytes;
    std::string version;     // the Tessel program's marker
    PeLayout layout = {};
    CarriedPayload carried = CarriedPayload();
    std::vector<std::string> warnings;
    std::string text;        // the description as UTF-8

    void Field(const char* name, const std::string& value) {
        std::string line = name;
        line.resize(20, ' ');
        Print(console, line + " " + value + "\n");
    }
    // The verdict line, then the one-line error.
    bool Refuse(const std::string& verdict, const std::string& error) {
        Field("verdict", verdict);
        return Fail(kExitRefused, path, error);
    }
};

bool ReadOptions(const std::vector<std::string>& args, InspectJob& job) {
    if (!job.ReadCommandLine(args)) return false;
    const CommandLine& line = job.line;
    if (line.positionals.empty()) return job.UsageError("missing FILE");
    if (line.positionals.size() > 1) return job.UsageError("unexpected argument '" + line.positionals[1] + "'");
    std::string error;
    if (!CodePageOption(line, job.codePage, error)) return job.UsageError(error);
    job.path = line.positionals[0];
    return true;
}

bool ReadTheFile(InspectJob& job) {
    std::string reason;
    if (!ReadWholeFile(job.path, job.bytes, reason)) return job.Fail(kExitIoFailure, job.path, reason);
    return true;
}

// A BPS patch: the facts it carries about its source and result, what its
// actions do, its metadata, and the verdict.
bool ReportBpsPatch(InspectJob& job, const std::string& patch) {
    BpsScan scan;
    if (!ScanBpsPatch(reinterpret_cast<const uint8_t*>(patch.data()), static_cast<uint32_t>(patch.size()), &scan)) {
        for (const std::string& warning : job.warnings) job.Field("warning", warning);
        const std::string problem = DescribeBpsProblem(scan);
        return job.Refuse("refused: " + problem + "; the program shows \"程序錯誤!\" and changes nothing",
                          "the patch is malformed: " + problem);
    }
    const BpsHeader& h = scan.header;
    job.Field("format", "BPS");
    job.Field("source", SizeAndCrc(h.sourceSize, h.sourceCrc));
    job.Field("result", SizeAndCrc(h.targetSize, h.targetCrc));
    job.Field("patch CRC-32", HexValue(h.patchCrc) + " (matches)");
    static const char* const kKinds[4] = {"SourceRead", "TargetRead", "SourceCopy", "TargetCopy"};
    uint32_t actions = 0;
    for (int kind = 0; kind < 4; ++kind) {
        job.Field(kKinds[kind], std::to_string(scan.actionCount[kind]) + " actions, " +
                                    std::to_string(scan.actionBytes[kind]) + " bytes");
        actions += scan.actionCount[kind];
    }
    job.Field("metadata", std::to_string(h.metadataSize) + " bytes");
    if (h.metadataSize != 0) Print(job.console, "--- metadata ---\n" + BpsMetadataText(scan, patch) + "\n--- end of metadata ---\n");
    for (const std::string& warning : job.warnings) job.Field("warning", warning);
    std::string verdict = "valid: the program applies " + std::to_string(actions) + " actions to a file of " +
                          SizeAndCrc(h.sourceSize, h.sourceCrc) + " and refuses any other";
    if (!job.warnings.empty())
        verdict += " (" + std::to_string(job.warnings.size()) + (job.warnings.size() == 1 ? " warning)" : " warnings)");
    job.Field("verdict", verdict);
    return true;
}

// The patch part of the report, ending in its verdict.
bool ReportPatch(InspectJob& job, const std::string& patch) {
    if (FormatOf(patch) == PatchFormatBps) return ReportBpsPatch(job, patch);
    PatchScan scan;
    if (!ScanPatch(reinterpret_cast<const uint8_t*>(patch.data()), static_cast<uint32_t>(patch.size()), &scan)) {
        for (const std::string& warning : job.warnings) job.Field("warning", warning);
        const std::string problem = DescribePatchProblem(scan, patch);
        return job.Refuse("refused: " + problem + "; the program shows \"程序錯誤!\" and changes nothing",
                          "the patch is malformed: " + problem);
    }
    job.Field("records", std::to_string(scan.recordCount) + " (" + std::to_string(scan.dataRecords) + " data, " +
                             std::to_string(scan.runRecords) + " run)");
    job.Field("data bytes", std::to_string(scan.dataBytes));
    job.Field("run bytes", std::to_string(scan.runBytes));
    if (scan.highestEnd != 0) {
        job.Field("lowest offset", Hex24(scan.lowestOffset));
        job.Field("highest offset", Hex24(scan.highestEnd - 1));
    } else {
        job.Field("lowest offset", "none (no record writes a byte)");
        job.Field("highest offset", "none");
    }
    const uint32_t size = static_cast<uint32_t>(ResultingTargetSize(scan, 0));  // below 16 MiB + 64 KiB
    const std::string sizeText = std::to_string(size) + " bytes (" + Hex24(size) + ")";
    if (scan.endMarker == PatchEndTruncate)
        job.Field("target size", "exactly " + sizeText + ", set by the truncation size");
    else
        job.Field("minimum target size", sizeText);
    if (scan.endMarker == PatchEndNone)
        job.Field("end marker", "none (records run to the end of the block)");
    else
        job.Field("end marker", "\"EOF\" at block offset " + HexValue(scan.endMarkerOffset));
    job.Field("truncation", scan.endMarker == PatchEndTruncate
                                ? std::to_string(scan.truncateSize) + " bytes (" + Hex24(scan.truncateSize) + ")"
                                : std::string("none"));

    for (const std::string& warning : PatchWarnings(scan)) job.warnings.push_back(warning);
    for (const std::string& warning : job.warnings) job.Field("warning", warning);
    std::string verdict = "valid: the program applies " + std::to_string(scan.recordCount) +
                          (scan.recordCount == 1 ? " record" : " records");
    if (!job.warnings.empty())
        verdict += " (" + std::to_string(job.warnings.size()) + (job.warnings.size() == 1 ? " warning)" : " warnings)");
    job.Field("verdict", verdict);
    return true;
}

// A bare patch: everything but the container.
bool ReportBarePatch(InspectJob& job) {
    job.Field("file", job.path + " (" + std::to_string(job.bytes.size()) + " bytes, " +
                          (FormatOf(job.bytes) == PatchFormatBps ? "a BPS patch)" : "an IPS patch)"));
    return ReportPatch(job, job.bytes);
}

// Whom a signature names and whether the file is still the one signed; the
// chain of trust is for osslsigncode verify and Windows to judge.
void ReportSignature(InspectJob& job) {
    const SignatureInfo info = ReadSignature(job.bytes, job.layout);
    if (!info.present) {
        job.Field("signature", "none");
        return;
    }
    if (!info.readable) {
        job.Field("signature", std::to_string(job.layout.securitySize) +
                                   "-byte certificate table this tool cannot read (osslsigncode verify can)");
        return;
    }
    job.Field("signature", "Authenticode, " + info.digestName + (info.timestamped ? ", time-stamped" : ", no time stamp") +
                               " (" + std::to_string(job.layout.securitySize) + " bytes after the payload)");
    job.Field("signed by", (info.signer.empty() ? "(no common name)" : info.signer) + ", certificate issued by " +
                               (info.issuer.empty() ? "(no common name)" : info.issuer));
    if (info.digestChecked)
        job.Field("signed digest", info.digestMatches ? "matches the file"
                                                      : "does not match the file: it was changed after signing, and "
                                                        "Windows will reject the signature");
}

// What Explorer shows of the file: its version information and icon.
void ReportDress(InspectJob& job) {
    VersionStrings strings;
    if (ReadVersionStrings(job.bytes, job.layout, strings))
        job.Field("version info", "\"" + strings.productName + "\", version " + strings.version +
                                      (strings.company.empty() ? std::string() : ", by " + strings.company));
    const std::string sizes = MainIconSizes(job.bytes, job.layout);
    if (!sizes.empty()) job.Field("icon", sizes + " pixels");
}

// Only a Tessel program ever reads a payload: any other executable (or file)
// would ignore one.
bool CheckTesselProgram(InspectJob& job) {
    job.Field("file", job.path + " (" + std::to_string(job.bytes.size()) + " bytes)");
    const std::string format = RecogniseOtherFormat(job.bytes);
    if (format != "a Windows program") {
        const std::string what = format.empty() ? "neither an IPS or BPS patch nor a Windows program" : format;
        return job.Refuse("not a patcher: " + what, what + ": not a Tessel patcher or an IPS or BPS patch");
    }
    PeLayout& layout = job.layout;
    std::string reason;
    if (!ReadPeLayout(job.bytes, layout, reason) || !RecogniseTesselProgram(job.bytes, layout, job.version, reason))
        return job.Refuse("not a patcher: " + reason + "; a payload after it would never be read", reason);
    job.Field("program", "Tessel " + job.version);
    ReportSignature(job);
    ReportDress(job);
    return true;
}

// A patcher made with --title, --source or in UTF-8 says so after its
// description; its recorded code page is the one its text is read in.
void ReportExtension(InspectJob& job) {
    const PayloadExtension& extension = job.carried.extension;
    if (!extension.present) {
        job.Field("extension", "none (description in the code page of the Windows that shows it)");
        return;
    }
    if (extension.codePage != 0 && !job.line.Has("codepage")) job.codePage = extension.codePage;
    job.Field("extension", "version 1, text in " + std::string(extension.codePage == CodePageUtf8
                                                                   ? "UTF-8 (converted at start-up)"
                                                                   : "code page " + std::to_string(extension.codePage)));
    std::string title, ignored;
    uint32_t firstBad = 0;
    DecodeDescription(std::string(extension.title.CStr(), extension.title.Length()), job.codePage, title, firstBad);
    job.Field("window title", extension.title.Empty() ? "Tessel (the default)" : title);
    for (uint32_t i = 0; i < extension.variantCount; ++i) {
        const PatchVariant& v = extension.variants[i];
        const std::string patch = i == 0 ? job.carried.patch : PatchOf(extension, i);
        const PatchFormat format = FormatOf(patch);
        job.Field(("variant " + std::to_string(i + 1)).c_str(), LabelOf(extension, i));
        job.Field("  made for", SizeAndCrc(v.facts.originalSize, v.facts.originalCrc) +
                                    (v.facts.originalSize > CopierHeaderSize
                                         ? "; without its first 512 bytes CRC-32 " + HexValue(v.sourceBodyCrc)
                                         : ""));
        job.Field("  result", SizeAndCrc(v.facts.resultSize, v.facts.resultCrc));
        job.Field("  patch", (i == 0 ? "the patch block, " : "") + std::to_string(patch.size()) + " bytes, " +
                                 (format == PatchFormatBps ? "BPS" : format == PatchFormatIps ? "IPS" : "not a patch"));
        // The patch block has its own verdict below; a later variant's patch
        // is checked here, as the program would check it.
        const uint8_t* block = reinterpret_cast<const uint8_t*>(patch.data());
        PatchScan ips;
        BpsScan bps;
        if (i > 0 && format == PatchFormatBps && !ScanBpsPatch(block, uint32_t(patch.size()), &bps))
            job.warnings.push_back("variant " + std::to_string(i + 1) + ": " + DescribeBpsProblem(bps));
        else if (i > 0 && format != PatchFormatBps && !ScanPatch(block, uint32_t(patch.size()), &ips))
            job.warnings.push_back("variant " + std::to_string(i + 1) + ": " + DescribePatchProblem(ips, patch));
    }
    if (extension.hasFacts && extension.variantCount == 0) {
        const TargetFacts& facts = extension.facts;
        job.Field("made for", std::to_string(facts.originalSize) + " bytes, CRC-32 " + HexValue(facts.originalCrc));
        job.Field("patched result", std::to_string(facts.resultSize) + " bytes, CRC-32 " + HexValue(facts.resultCrc));
    }
}

bool ReadPayload(InspectJob& job) {
    ReadCarriedPayload(job.path, job.carried);
    const PatchContainerInfo& info = job.carried.info;
    if (info.fileSize != job.bytes.size())
        return job.Fail(kExitIoFailure, job.path, "changed while it was being read");
    if (!job.carried.patchFound) {
        job.Field("patch block", "L1 = " + std::to_string(info.l1) + ": not a length that fits the file");
        return job.Refuse("no payload: the program shows an empty description and \"程序錯誤!\" on every run",
                          "carries no payload (L1 = " + std::to_string(info.l1) + ")");
    }
    const uint64_t executable = StubExecutableLength(job.bytes, job.layout, job.carried);
    const uint64_t zeros = info.payloadOffset - executable;
    job.Field("executable", std::to_string(executable) + " bytes" +
                                (zeros ? " + " + std::to_string(zeros) + " zero bytes (the payload ends 8-byte aligned)"
                                       : std::string()));
    if (info.l2Valid) {
        job.Field("description block", "L2 = " + std::to_string(info.l2) + ": " +
                                           std::to_string(job.carried.description.size()) + " bytes of text");
    } else {
        job.Field("description block", "L2 = " + std::to_string(info.l2) + ": not a length that fits the file");
        job.warnings.push_back("the description length is damaged: the program shows no description");
    }
    job.Field("patch block", "L1 = " + std::to_string(info.l1) + ": " + std::to_string(job.carried.patch.size()) +
                                 " bytes of patch");
    ReportExtension(job);
    // The window shows the description up to its first NUL (a NUL is also
    // where the extension begins, which has been split off already).
    const size_t nul = job.carried.description.find('\0');
    if (nul != std::string::npos)
        job.warnings.push_back("the description holds a NUL at byte " + std::to_string(nul) +
                               ": the window shows nothing after it");
    uint32_t firstBad = 0;
    if (!DecodeDescription(job.carried.description, job.codePage, job.text, firstBad))
        job.warnings.push_back("the description is not valid code page " + std::to_string(job.codePage) +
                               " text from byte " + std::to_string(firstBad) +
                               " (try another --codepage); shown with U+FFFD in its place");
    return true;
}

void ReportDescription(InspectJob& job) {
    Print(job.console, "--- description (code page " + std::to_string(job.codePage) + ", " +
                           std::to_string(job.carried.description.size()) + " bytes) ---\n" + job.text +
                           "\n--- end of description ---\n");
}

}  // namespace

int RunInspect(const std::vector<std::string>& args, const Console& console) {
    InspectJob job(console);
    if (!ReadOptions(args, job) || !ReadTheFile(job)) return job.exitCode;
    if (FormatOf(job.bytes) != PatchFormatUnknown) {
        ReportBarePatch(job);
        return job.exitCode;
    }
    if (!CheckTesselProgram(job) || !ReadPayload(job)) return job.exitCode;
    // The description is shown whatever the patch's verdict.
    ReportPatch(job, job.carried.patch);
    ReportDescription(job);
    return job.exitCode;
}
