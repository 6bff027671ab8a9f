// tessel-pack build: stub + description + L2 + patch + L1.
#include "patch/byte_stream.h"
#include "patch/bps_patch.h"
#include "patch/ips_patch.h"
#include "patch/patch_format.h"
#include "patch/patch_run.h"
#include "patch/target_check.h"
#include "tools/tessel_pack/command_job.h"
#include "tools/tessel_pack/commands.h"
#include "tools/tessel_pack/description.h"
#include "tools/tessel_pack/embedded_stub.h"
#include "tools/tessel_pack/file_io.h"
#include "tools/tessel_pack/help.h"
#include "tools/tessel_pack/pair_patch.h"
#include "tools/tessel_pack/patch_report.h"
#include "tools/tessel_pack/payload.h"
#include "tools/tessel_pack/pe_layout.h"
#include "tools/tessel_pack/pe_resources.h"
#include "tools/tessel_pack/sha256.h"
#include "tools/tessel_pack/signing.h"
#include "tools/tessel_pack/tessel_program.h"
#include "tools/tessel_pack/utf8.h"

static const OptionDef kBuildOptions[] = {
    {"stub", 0, true, false},      {"patch", 0, true, true},     {"description", 0, true, false},
    {"title", 0, true, false},     {"source", 0, true, true},    {"codepage", 0, true, false},
    {"output", 'o', true, false},  {"help", 'h', false, false},  {"sign-with", 0, true, false},
    {"cert", 0, true, false},      {"key", 0, true, false},      {"pass", 0, true, false},
    {"timestamp", 0, true, false}, {"icon", 0, true, false},     {"publisher", 0, true, false},
    {"version", 0, true, false},   {"original", 0, true, true},  {"modified", 0, true, true},
    {"format", 0, true, false},    {"variant", 0, true, true},
};
static const CommandSpec kBuild = {"build", kBuildOptions, sizeof kBuildOptions / sizeof kBuildOptions[0],
                                   kBuildHelp};

namespace {

// One --variant group: its label, and its patch and the file it was made
// for, or the pair its patch is made from.
struct VariantInput {
    std::string label, patchPath, sourcePath, originalPath, modifiedPath;
};

struct BuildJob : CommandJob {
    BuildJob(const Console& console) : CommandJob(kBuild, console) {}

    // What the command line asks for.
    std::string stubPath;  // empty: the stub embedded in the tool
    std::string patchPath, descriptionPath, outputPath;
    std::string titleText;   // UTF-8, as given
    std::string sourcePath;  // empty: no verification data
    bool legacy = false;     // --codepage: text in that code page, no extension unless asked for
    uint32_t codePage = 0;
    std::string descriptionName;  // as the messages name it
    SignRequest sign;
    std::string iconPath;             // empty: the stub's icon
    std::string publisher, version;   // UTF-8, for the version information
    // --original/--modified: the patch is made from them (patchPath empty).
    std::string originalPath, modifiedPath;
    bool formatGiven = false;  // --format; else build chooses (ChooseFormat)
    std::vector<VariantInput> variants;  // empty: one patch, as before variants

    // What was read, then what it becomes.
    std::string stub, patch, descriptionText;
    PeLayout layout = {};
    std::string stubVersion;
    CarriedPayload carried = CarriedPayload();  // an old payload the stub file carries (none when embedded)
    PatchFormat format = PatchFormatUnknown;
    PatchScan scan = {};        // IPS
    BpsScan bpsScan = BpsScan();  // BPS
    std::string description;  // in the code page
    std::string title;        // likewise
    PayloadExtension extension = PayloadExtension();
    std::string payload;
    bool signatureDropped = false;  // the stub file was signed
    uint64_t executableLength = 0;  // of the stub file, before it is dressed
    std::vector<IconImage> icon;    // --icon's images
    bool resourcesRebuilt = false;  // the stub's resource section was laid out anew
    std::string sha256;             // of the patcher as written
    SignatureInfo signer;           // of the patcher as written, when signed
};

// --sign-with PFX, or --cert with --key; --pass and --timestamp only with one of them.
bool ReadSignOptions(BuildJob& job) {
    const CommandLine& line = job.line;
    const struct {
        const char* name;
        std::string* value;
    } options[] = {{"sign-with", &job.sign.pfx}, {"cert", &job.sign.cert}, {"key", &job.sign.key},
                   {"pass", &job.sign.pass},     {"timestamp", &job.sign.timestamp}};
    for (const auto& option : options)
        if (const std::string* value = line.Value(option.name)) *option.value = *value;
    if (!job.sign.pfx.empty() && (line.Has("cert") || line.Has("key")))
        return job.UsageError("--sign-with names a PFX holding certificate and key: give it, or --cert and --key");
    if (line.Has("cert") != line.Has("key")) return job.UsageError("--cert and --key go together");
    if (!job.sign.Wanted() && (line.Has("pass") || line.Has("timestamp")))
        return job.UsageError(std::string("--") + (line.Has("pass") ? "pass" : "timestamp") +
                              " is for signing: give --sign-with PFX (or --cert and --key)");
    return true;
}

// Either --patch, or --original and --modified (then also --format, and
// the facts --source would record come from the pair).
bool ReadPairOptions(BuildJob& job) {
    const CommandLine& line = job.line;
    const bool pair = line.Has("original") || line.Has("modified");
    if (!pair) {
        if (line.Has("format")) return job.UsageError("--format goes with --original and --modified");
        return line.Has("patch") || job.UsageError("missing --patch");
    }
    if (line.Has("patch")) return job.UsageError("give --patch, or --original and --modified, not both");
    if (line.Has("source")) return job.UsageError("--source goes with --patch; --original is already the source");
    for (const char* required : {"original", "modified"})
        if (!line.Has(required)) return job.UsageError(std::string("missing --") + required);
    job.originalPath = *line.Value("original");
    job.modifiedPath = *line.Value("modified");
    if (const std::string* format = line.Value("format")) {
        if (!ParseFormat(*format, job.format)) return job.UsageError("--format is ips or bps, not '" + *format + "'");
        job.formatGiven = true;
    }
    return true;
}

// --variant LABEL, each followed by its own --patch and --source, or its
// --original and --modified. Without --variant: nothing to do here.
bool ReadVariantGroups(const CommandLine& line, BuildJob& job) {
    std::string loose;  // a file option before the first --variant
    for (const auto& option : line.options) {
        if (option.first == "variant") {
            if (option.second.empty() || option.second.size() > MaxVariantLabel)
                return job.UsageError("--variant needs a label of 1 to 255 bytes");
            for (const VariantInput& earlier : job.variants)
                if (earlier.label == option.second) return job.UsageError("--variant " + option.second + " given twice");
            job.variants.push_back(VariantInput{option.second, "", "", "", ""});
            continue;
        }
        VariantInput* v = job.variants.empty() ? nullptr : &job.variants.back();
        std::string* path = !v                             ? nullptr
                            : option.first == "patch"      ? &v->patchPath
                            : option.first == "source"     ? &v->sourcePath
                            : option.first == "original"   ? &v->originalPath
                            : option.first == "modified"   ? &v->modifiedPath
                                                           : nullptr;
        if (path) *path = option.second;
        else if (!v && (option.first == "patch" || option.first == "source" || option.first == "original" ||
                        option.first == "modified"))
            loose = option.first;
    }
    if (job.variants.empty()) return true;
    if (!loose.empty()) return job.UsageError("--" + loose + " before the first --variant: each goes after its variant's label");
    if (job.variants.size() > MaxPatchVariants) return job.UsageError("at most 16 variants");
    for (const VariantInput& v : job.variants) {
        const bool patch = !v.patchPath.empty() || !v.sourcePath.empty();
        const bool pair = !v.originalPath.empty() || !v.modifiedPath.empty();
        if (patch == pair || (patch && (v.patchPath.empty() || v.sourcePath.empty())) ||
            (pair && (v.originalPath.empty() || v.modifiedPath.empty())))
            return job.UsageError("--variant " + v.label +
                                  " needs its --patch and its --source, or its --original and --modified");
    }
    if (const std::string* format = line.Value("format")) {
        if (!ParseFormat(*format, job.format)) return job.UsageError("--format is ips or bps, not '" + *format + "'");
        job.formatGiven = true;
    }
    return true;
}

bool ReadOptions(const std::vector<std::string>& args, BuildJob& job) {
    if (!job.ReadCommandLine(args)) return false;
    const CommandLine& line = job.line;
    if (!line.positionals.empty()) return job.UsageError("unexpected argument '" + line.positionals[0] + "'");
    if (!ReadVariantGroups(line, job) || (job.variants.empty() && !ReadPairOptions(job))) return false;
    for (const char* required : {"description", "output"})
        if (!line.Has(required)) return job.UsageError(std::string("missing --") + required);
    std::string error;
    // New patchers carry UTF-8, converted by the program to the code page of
    // whatever Windows shows it; --codepage keeps the older form, bytes in
    // that one code page.
    job.legacy = line.Has("codepage");
    if (!CodePageOption(line, job.codePage, error)) return job.UsageError(error);
    if (!job.legacy) job.codePage = CodePageUtf8;
    if (const std::string* stub = line.Value("stub")) job.stubPath = *stub;
    if (const std::string* title = line.Value("title")) job.titleText = *title;
    if (const std::string* source = line.Value("source")) job.sourcePath = *source;
    std::u32string codePoints;
    if (const std::string* icon = line.Value("icon")) job.iconPath = *icon;
    if (const std::string* publisher = line.Value("publisher")) job.publisher = *publisher;
    if (const std::string* version = line.Value("version")) job.version = *version;
    for (const std::string* text : {&job.publisher, &job.version})
        if (text->find_first_of("\r\n") != std::string::npos || !DecodeUtf8(*text, codePoints, nullptr, nullptr))
            return job.UsageError(std::string(text == &job.publisher ? "--publisher" : "--version") +
                                  " is one line of UTF-8 text");
    if (job.titleText.find_first_of("\r\n") != std::string::npos)
        return job.UsageError("--title is one line: it is the window's caption");
    if (const std::string* patch = line.Value("patch")) job.patchPath = *patch;
    if (!job.variants.empty()) {
        // The first variant's patch is the patch block: the rest of the build
        // takes it as the one patch it always had.
        job.patchPath = job.variants[0].patchPath;
        job.sourcePath = job.variants[0].sourcePath;
        job.originalPath = job.variants[0].originalPath;
        job.modifiedPath = job.variants[0].modifiedPath;
    }
    job.descriptionPath = *line.Value("description");
    job.outputPath = *line.Value("output");
    job.descriptionName = job.descriptionPath == "-" ? "standard input" : job.descriptionPath;
    return ReadSignOptions(job);
}

// The patcher replaces OUT; OUT may be the stub (its payload is replaced),
// never the patch or the description the publisher keeps.
bool CheckOutputIsNoSource(BuildJob& job) {
    const struct {
        const std::string& path;
        const char* what;
    } sources[] = {{job.patchPath, "the patch (--patch)"},
                   {job.descriptionPath, "the description (--description)"},
                   {job.originalPath, "the original (--original)"},
                   {job.modifiedPath, "the modified file (--modified)"}};
    for (const auto& source : sources)
        if (!source.path.empty() && source.path != "-" && IsSameFile(job.outputPath, source.path))
            return job.UsageError("-o " + job.outputPath + " is " + source.what +
                                  ": the patcher would overwrite it; write it to another file");
    for (const VariantInput& v : job.variants)
        for (const std::string* path : {&v.patchPath, &v.sourcePath, &v.originalPath, &v.modifiedPath})
            if (!path->empty() && *path != "-" && IsSameFile(job.outputPath, *path))
                return job.UsageError("-o " + job.outputPath + " is a file of --variant " + v.label +
                                      ": the patcher would overwrite it; write it to another file");
    return true;
}

// Everything is read before anything is written, so OUT may be the stub.
bool ReadInputs(BuildJob& job) {
    std::string reason;
    if (job.stubPath.empty()) {
        const EmbeddedStub embedded = ReadEmbeddedStub();
        if (embedded.state == EmbeddedStub::Absent)
            return job.UsageError("missing --stub: this tessel-pack carries no stub of its own (give --stub "
                                  "tessel-stub.exe)");
        if (embedded.state == EmbeddedStub::Damaged)
            return job.Fail(kExitIoFailure, "", "missing --stub, and " + embedded.problem);
        job.stub = embedded.bytes;
    } else {
        if (!ReadWholeFile(job.stubPath, job.stub, reason)) return job.Fail(kExitIoFailure, job.stubPath, reason);
    }
    if (job.originalPath.empty() && !ReadWholeFile(job.patchPath, job.patch, reason))
        return job.Fail(kExitIoFailure, job.patchPath, reason);
    const bool fromStdin = job.descriptionPath == "-";
    if (!(fromStdin ? ReadWholeStream(job.console.in, job.descriptionText, reason)
                    : ReadWholeFile(job.descriptionPath, job.descriptionText, reason)))
        return job.Fail(kExitIoFailure, job.descriptionName, reason);
    return true;
}

// A Tessel program; from a file, with any payload it already carries found
// so that it is replaced rather than stacked.
bool CheckStub(BuildJob& job) {
    std::string reason;
    if (!ReadPeLayout(job.stub, job.layout, reason) ||
        !RecogniseTesselProgram(job.stub, job.layout, job.stubVersion, reason))
        return job.Fail(kExitRefused, job.stubPath, reason);
    if (job.stubPath.empty()) return true;
    ReadCarriedPayload(job.stubPath, job.carried);
    if (job.carried.info.fileSize != job.stub.size())
        return job.Fail(kExitIoFailure, job.stubPath, "changed while it was being read");
    return true;
}

// IPS is chosen wherever it can say the change, but it rewrites everything a
// moved block or an insertion shifts: when the IPS patch is large beside the
// file, the BPS size is worked out too and named if it is under half.
void SuggestSmallerBps(BuildJob& job, const std::string& original, const std::string& modified) {
    if (job.format != PatchFormatIps || job.patch.size() < 4096 || job.patch.size() < modified.size() / 8) return;
    std::string bps, reason;
    if (!CreateBpsPatch(reinterpret_cast<const uint8_t*>(original.data()), original.size(),
                        reinterpret_cast<const uint8_t*>(modified.data()), modified.size(), bps, reason) ||
        bps.size() * 2 > job.patch.size())
        return;
    job.Warn(job.modifiedPath, "the IPS patch takes " + std::to_string(job.patch.size()) + " bytes; a BPS patch of " +
                                   std::to_string(bps.size()) + " bytes says the same (--format bps)");
}

// --original/--modified: the patch, checked against the pair in memory, and
// the facts of both files.
bool MakePatchFromPair(BuildJob& job) {
    if (job.originalPath.empty()) return true;
    std::string original, modified, reason;
    if (!ReadWholeFile(job.originalPath, original, reason)) return job.Fail(kExitIoFailure, job.originalPath, reason);
    if (!ReadWholeFile(job.modifiedPath, modified, reason)) return job.Fail(kExitIoFailure, job.modifiedPath, reason);
    if (original.size() > 0xFFFFFFF0u || modified.size() > 0xFFFFFFF0u)
        return job.Fail(kExitRefused, job.originalPath, "larger than 4 GiB");
    const std::string why = WhyOriginalIsPatched(original, modified);
    if (!why.empty()) return job.Fail(kExitRefused, job.originalPath, why);
    if (!job.formatGiven) job.format = ChooseFormat(original, modified);
    ProgressLine progress(job.console, "finding copies");
    const bool made = MakeCheckedPatch(job.format, original, modified, job.patch, reason, ProgressLine::Report,
                                       &progress);
    progress.Finish();
    if (!made) return job.Fail(kExitRefused, job.modifiedPath, reason);
    if (!job.formatGiven) SuggestSmallerBps(job, original, modified);
    TargetFacts& facts = job.extension.facts;
    facts.originalSize = uint32_t(original.size());
    facts.originalCrc = Crc32Update(0, reinterpret_cast<const uint8_t*>(original.data()), facts.originalSize);
    facts.resultSize = uint32_t(modified.size());
    facts.resultCrc = Crc32Update(0, reinterpret_cast<const uint8_t*>(modified.data()), facts.resultSize);
    job.extension.hasFacts = true;
    job.patchPath = job.outputPath;  // where the report and warnings name the patch
    return true;
}

bool CheckPatch(BuildJob& job) {
    job.format = FormatOf(job.patch);
    if (job.format == PatchFormatBps) {
        // Header, sizes, the patch's CRC-32 and every action, as the program
        // checks them before it writes anything.
        if (!ScanBpsPatch(reinterpret_cast<const uint8_t*>(job.patch.data()), static_cast<uint32_t>(job.patch.size()),
                          &job.bpsScan))
            return job.Fail(kExitRefused, job.patchPath, DescribeBpsProblem(job.bpsScan));
        return true;
    }
    const std::string format = job.format == PatchFormatIps ? "" : RecogniseOtherFormat(job.patch);
    if (!format.empty()) return job.Fail(kExitRefused, job.patchPath, NotAnIpsPatch(format));
    if (!ScanPatch(reinterpret_cast<const uint8_t*>(job.patch.data()), static_cast<uint32_t>(job.patch.size()),
                   &job.scan))
        return job.Fail(kExitRefused, job.patchPath, DescribePatchProblem(job.scan, job.patch));
    return true;
}

// The window fills its edit box with the whole description at start-up:
// beyond 64 KiB it takes seconds to appear, beyond 1 MiB far longer.
const size_t kDescriptionWarnAbove = 64 * 1024;
const size_t kDescriptionLimit = 1024 * 1024;

bool CheckDescriptionSize(BuildJob& job) {
    if (job.description.size() > kDescriptionLimit)
        return job.Fail(kExitRefused, job.descriptionName,
                        std::to_string(job.description.size()) +
                            " bytes: a description may hold at most 1 MiB (the window would take minutes to show it)");
    if (job.description.size() > kDescriptionWarnAbove)
        job.Warn(job.descriptionName, std::to_string(job.description.size()) +
                                          " bytes: the window takes seconds to show a description over 64 KiB");
    return true;
}

// Every line with a character the code page cannot hold is named.
bool EncodeDescriptionText(BuildJob& job) {
    std::vector<DescriptionProblem> problems;
    if (EncodeDescription(job.descriptionText, job.codePage, job.description, problems) &&
        EncodeDescription(job.titleText, job.codePage, job.title, problems))
        return true;
    for (const DescriptionProblem& problem : problems)
        job.Fail(kExitRefused, job.descriptionName, DescribeProblem(problem, job.codePage));
    return false;
}

// A BPS patch carries its own facts; --source must be the file it was made
// for, and the patch is applied to it in memory to check the result too.
bool CheckBpsSource(BuildJob& job, const std::string& original) {
    const BpsHeader& h = job.bpsScan.header;
    const uint32_t crc = Crc32Update(0, reinterpret_cast<const uint8_t*>(original.data()), uint32_t(original.size()));
    if (original.size() == h.targetSize && crc == h.targetCrc)
        return job.Fail(kExitRefused, job.sourcePath,
                        "this is the patched file: it is the result the BPS patch makes (give the original to "
                        "--source)");
    if (original.size() != h.sourceSize || crc != h.sourceCrc)
        return job.Fail(kExitRefused, job.sourcePath,
                        "not the file the BPS patch was made for: it needs " + SizeAndCrc(h.sourceSize, h.sourceCrc) +
                            ", this is " + SizeAndCrc(original.size(), crc));
    std::string result(h.targetSize, '\0');
    BpsProblem problem;
    if (!BpsApplyInMemory(reinterpret_cast<const uint8_t*>(job.patch.data()), uint32_t(job.patch.size()),
                          reinterpret_cast<const uint8_t*>(original.data()), uint32_t(original.size()),
                          reinterpret_cast<uint8_t*>(&result[0]), h.targetSize, &problem)) {
        BpsScan failed = job.bpsScan;
        failed.problem = problem;
        failed.problemAction = 0;
        return job.Fail(kExitRefused, job.patchPath, DescribeBpsProblem(failed));
    }
    job.extension.facts = {h.sourceSize, h.sourceCrc, h.targetSize, h.targetCrc};
    job.extension.hasFacts = true;
    return true;
}

// --source: the sizes and CRC-32 of the original and of the result, the
// patch applied to the original in memory exactly as the program will. A
// source the patch changes nothing in is the result itself, perhaps behind
// a copier header.
bool ComputeSingleFacts(BuildJob& job) {
    if (job.sourcePath.empty()) return true;
    std::string original, result, reason;
    if (!ReadWholeFile(job.sourcePath, original, reason)) return job.Fail(kExitIoFailure, job.sourcePath, reason);
    if (original.size() > 0xFFFFFFF0u) return job.Fail(kExitRefused, job.sourcePath, "larger than 4 GiB");
    if (job.format == PatchFormatBps) return CheckBpsSource(job, original);
    if (!ApplyInMemory(PatchFormatIps, job.patch, original, result))
        return job.Fail(kExitIoFailure, job.sourcePath, "out of memory applying the patch to it");
    if (result == original)
        return job.Fail(kExitRefused, job.sourcePath,
                        "this is the patched file: the patch changes nothing in it (give the original to --source)");
    std::string unheadered;
    if (original.size() > kCopierHeaderSize &&
        ApplyInMemory(PatchFormatIps, job.patch, original.substr(kCopierHeaderSize), unheadered) &&
        original.compare(kCopierHeaderSize, std::string::npos, unheadered) == 0)
        return job.Fail(kExitRefused, job.sourcePath,
                        "this is the patched file with a 512-byte copier header in front of it");
    TargetFacts& facts = job.extension.facts;
    facts.originalSize = uint32_t(original.size());
    facts.originalCrc = Crc32Update(0, reinterpret_cast<const uint8_t*>(original.data()), facts.originalSize);
    facts.resultSize = uint32_t(result.size());
    facts.resultCrc = Crc32Update(0, reinterpret_cast<const uint8_t*>(result.data()), facts.resultSize);
    job.extension.hasFacts = true;
    return true;
}

uint32_t CrcOf(const std::string& bytes, size_t from = 0) {
    if (bytes.size() <= from) return 0;
    return Crc32Update(0, reinterpret_cast<const uint8_t*>(bytes.data()) + from, uint32_t(bytes.size() - from));
}

// A later variant's patch, read and checked whole as the program checks it.
bool ReadVariantPatch(BuildJob& job, const std::string& path, std::string& patch) {
    std::string reason;
    if (!ReadWholeFile(path, patch, reason)) return job.Fail(kExitIoFailure, path, reason);
    const PatchFormat format = FormatOf(patch);
    const uint8_t* block = reinterpret_cast<const uint8_t*>(patch.data());
    if (format == PatchFormatBps) {
        BpsScan scan;
        return ScanBpsPatch(block, uint32_t(patch.size()), &scan) || job.Fail(kExitRefused, path, DescribeBpsProblem(scan));
    }
    const std::string other = format == PatchFormatIps ? "" : RecogniseOtherFormat(patch);
    if (!other.empty()) return job.Fail(kExitRefused, path, NotAnIpsPatch(other));
    PatchScan scan;
    return ScanPatch(block, uint32_t(patch.size()), &scan) || job.Fail(kExitRefused, path, DescribePatchProblem(scan, patch));
}

// A variant's source and result: read and made from --patch and --source,
// or read from --original and --modified (the patch made from them).
bool VariantFiles(BuildJob& job, const VariantInput& input, bool first, std::string& patch, std::string& original,
                  std::string& result) {
    std::string reason;
    const bool pair = !input.originalPath.empty();
    const std::string& sourcePath = pair ? input.originalPath : input.sourcePath;
    if (!ReadWholeFile(sourcePath, original, reason)) return job.Fail(kExitIoFailure, sourcePath, reason);
    if (original.size() > 0xFFFFFFF0u) return job.Fail(kExitRefused, sourcePath, "larger than 4 GiB");
    if (pair) {
        if (!ReadWholeFile(input.modifiedPath, result, reason)) return job.Fail(kExitIoFailure, input.modifiedPath, reason);
        if (result.size() > 0xFFFFFFF0u) return job.Fail(kExitRefused, input.modifiedPath, "larger than 4 GiB");
        if (first) {
            patch = job.patch;  // made from this pair already
            return true;
        }
        const std::string why = WhyOriginalIsPatched(original, result);
        if (!why.empty()) return job.Fail(kExitRefused, sourcePath, why);
        const PatchFormat format = job.formatGiven ? job.format : ChooseFormat(original, result);
        return MakeCheckedPatch(format, original, result, patch, reason) ||
               job.Fail(kExitRefused, input.modifiedPath, reason);
    }
    if (first) patch = job.patch;
    else if (!ReadVariantPatch(job, input.patchPath, patch)) return false;
    BpsScan bps;
    if (FormatOf(patch) == PatchFormatBps && ReadBpsHeader(reinterpret_cast<const uint8_t*>(patch.data()),
                                                           uint32_t(patch.size()), &bps) &&
        (original.size() != bps.header.sourceSize || CrcOf(original) != bps.header.sourceCrc))
        return job.Fail(kExitRefused, sourcePath,
                        "not the file the BPS patch was made for: it needs " +
                            SizeAndCrc(bps.header.sourceSize, bps.header.sourceCrc));
    return ApplyInMemory(FormatOf(patch), patch, original, result) ||
           job.Fail(kExitRefused, input.patchPath, "the patch does not apply to " + sourcePath);
}

// One variant: its facts, whole and past a copier header, its label and
// (after the first) its patch.
bool AddVariant(BuildJob& job, const VariantInput& input, bool first) {
    std::string patch, original, result;
    if (!VariantFiles(job, input, first, patch, original, result)) return false;
    PatchVariant v = {};
    v.facts = TargetFacts{uint32_t(original.size()), CrcOf(original), uint32_t(result.size()), CrcOf(result)};
    v.sourceBodyCrc = CrcOf(original, CopierHeaderSize);
    v.resultBodyCrc = CrcOf(result, CopierHeaderSize);
    // A file must say which variant it is.
    for (uint32_t i = 0; i < job.extension.variantCount; ++i)
        if (job.extension.variants[i].facts.originalSize == v.facts.originalSize &&
            job.extension.variants[i].facts.originalCrc == v.facts.originalCrc)
            return job.Fail(kExitRefused, input.originalPath.empty() ? input.sourcePath : input.originalPath,
                            "the same file as the source of --variant " + job.variants[i].label);
    if (!AddPatchVariant(&job.extension, v, ByteString(input.label.data(), uint32_t(input.label.size())),
                         reinterpret_cast<const uint8_t*>(patch.data()), first ? 0 : uint32_t(patch.size())))
        return job.Fail(kExitIoFailure, job.outputPath, "out of memory");
    return true;
}

// The facts: the one patch's (--source or the pair), or with variants
// every variant's; the first one's are also the facts programs that know
// no variants check.
bool ComputeTargetFacts(BuildJob& job) {
    if (!ComputeSingleFacts(job)) return false;
    for (size_t i = 0; i < job.variants.size(); ++i)
        if (!AddVariant(job, job.variants[i], i == 0)) return false;
    if (!job.variants.empty()) {
        job.extension.facts = job.extension.variants[0].facts;
        job.extension.hasFacts = true;
    }
    return true;
}

// The description block: the text, then (for UTF-8, a title or
// verification data) the extension that says so.
bool AddExtension(BuildJob& job) {
    if (job.legacy && job.titleText.empty() && !job.extension.hasFacts) return true;
    job.extension.codePage = job.codePage;
    job.extension.title = ByteString(job.title.data(), uint32_t(job.title.size()));
    const ByteString block =
        ComposeDescriptionBlock(ByteString(job.description.data(), uint32_t(job.description.size())), job.extension);
    if (block.Empty()) return job.Fail(kExitIoFailure, job.outputPath, "out of memory");
    job.description.assign(block.CStr(), block.Length());
    job.extension.present = true;
    return true;
}

bool LayOutPatcher(BuildJob& job) {
    const uint64_t stubLength = StubExecutableLength(job.stub, job.layout, job.carried);
    if (!FitsInContainer(stubLength, job.description.size(), job.patch.size()))
        return job.Fail(kExitRefused, job.outputPath, "the patcher would reach 4 GiB, which the program cannot read");
    if (stubLength < job.stub.size() && !job.carried.info.l2Valid)
        job.Warn(job.stubPath, "its old payload has a damaged description length; only its patch block is left out");
    if (job.format == PatchFormatIps)
        for (const std::string& warning : PatchWarnings(job.scan)) job.Warn(job.patchPath, warning);
    job.signatureDropped = !job.stubPath.empty() && HasSignatureTable(job.layout, job.stub.size());
    if (job.signatureDropped)
        job.Warn(job.stubPath, "its signature is left out: it cannot cover a new payload; sign the new patcher");
    job.stub.resize(stubLength);
    job.executableLength = stubLength;
    // A table the stub names but no longer carries would send a reader (the
    // loader, the program) to payload bytes.
    if (job.layout.securityEntry) job.stub.replace(job.layout.securityEntry, 8, 8, '\0');
    job.payload = ComposePayload(job.description, job.patch);
    return true;
}

bool ReadIcon(BuildJob& job) {
    if (job.iconPath.empty()) return true;
    std::string bytes, reason;
    if (!ReadWholeFile(job.iconPath, bytes, reason)) return job.Fail(kExitIoFailure, job.iconPath, reason);
    if (!ReadIconFile(bytes, job.icon, reason)) return job.Fail(kExitRefused, job.iconPath, reason);
    return true;
}

// The publisher's icon and the version information Explorer shows. A stub
// without version information (made before Tessel kept room for it) is
// used as it is unless --publisher or --version ask for it.
bool DressStub(BuildJob& job) {
    std::string reason;
    if (!job.icon.empty() && !ReplaceMainIcon(job.stub, job.layout, job.icon, reason))
        return job.Fail(kExitRefused, job.stubPath.empty() ? "the built-in stub" : job.stubPath,
                        "--icon cannot be used: " + reason);
    job.resourcesRebuilt = !job.icon.empty();
    const VersionStrings strings = {job.titleText.empty() ? "Tessel" : job.titleText, job.publisher,
                                    job.version.empty() ? job.stubVersion : job.version, kTesselFileDescription};
    bool rebuilt = false;
    if (!WriteVersionInfo(job.stub, job.layout, ComposeVersionInfo(strings), &rebuilt, reason)) {
        if (job.publisher.empty() && job.version.empty()) return true;
        return job.Fail(kExitRefused, job.stubPath.empty() ? "the built-in stub" : job.stubPath,
                        "--publisher and --version cannot be used: " + reason);
    }
    job.resourcesRebuilt = job.resourcesRebuilt || rebuilt;
    return true;
}

// The checksum covers the whole file, payload included; Windows checks it
// only for drivers, but scanners take a wrong one for a tampered file.
// osslsigncode signs a copy beside OUT; the signed file replaces file only
// when the program still finds the same payload in it (the table after L1).
bool SignPatcher(BuildJob& job, std::string& file) {
    const std::string unsignedPath = TemporaryNameFor(job.outputPath) + "-unsigned.exe";
    const std::string signedPath = TemporaryNameFor(job.outputPath) + "-signed.exe";
    std::string reason, signedFile;
    bool ok = WriteFileAtomically(unsignedPath, {&file}, reason);
    if (!ok) job.Fail(kExitIoFailure, unsignedPath, reason);
    ok = ok && (SignWithOsslsigncode(job.sign, unsignedPath, signedPath, reason) ||
                job.Fail(kExitIoFailure, job.sign.pfx.empty() ? job.sign.cert : job.sign.pfx, reason));
    ok = ok && (ReadWholeFile(signedPath, signedFile, reason) || job.Fail(kExitIoFailure, signedPath, reason));
    CarriedPayload carried;
    if (ok) ReadCarriedPayload(signedPath, carried);
    RemoveFile(unsignedPath);
    RemoveFile(signedPath);
    if (!ok) return false;
    PeLayout layout;
    if (!ReadPeLayout(signedFile, layout, reason) || !HasSignatureTable(layout, signedFile.size()) ||
        !carried.patchFound || carried.patch != job.patch || carried.info.payloadEnd != file.size())
        return job.Fail(kExitIoFailure, job.outputPath, "osslsigncode left a file whose payload is not the one built");
    file.swap(signedFile);
    job.signer = ReadSignature(file, layout);
    return true;
}

bool WritePatcher(BuildJob& job) {
    job.payload.insert(0, AlignmentPadding(job.stub.size(), job.payload.size()), '\0');
    std::string file = job.stub + job.payload;
    if (job.layout.checksumField) WriteLe32(file, job.layout.checksumField, PeChecksum(file, job.layout.checksumField));
    if (job.sign.Wanted() && !SignPatcher(job, file)) return false;
    std::string reason;
    if (!WriteFileAtomically(job.outputPath, {&file}, reason)) return job.Fail(kExitIoFailure, job.outputPath, reason);
    job.sha256 = Sha256Hex(file);
    return true;
}

void ReportPatcher(const BuildJob& job) {
    const uint64_t oldEnd = job.signatureDropped ? job.layout.securityTable : job.carried.info.fileSize;
    const uint64_t oldPayload = oldEnd - job.executableLength;
    std::string text = "wrote " + job.outputPath + ": " + std::to_string(job.stub.size() + job.payload.size()) +
                       " bytes\n";
    text += "  stub         " + std::to_string(job.stub.size()) + " bytes " +
            (job.stubPath.empty() ? "built into tessel-pack" : "from " + job.stubPath) + " (Tessel " + job.stubVersion;
    if (!job.stubPath.empty() && oldPayload > 0) text += "; its old " + std::to_string(oldPayload) + "-byte payload";
    if (job.signatureDropped)
        text += std::string(oldPayload > 0 ? " and its " : "; its ") + std::to_string(job.layout.securitySize) +
                "-byte signature";
    if (!job.stubPath.empty() && (oldPayload > 0 || job.signatureDropped)) text += " left out";
    text += ")";
    text += "\n  description  " + std::to_string(job.description.size()) + " bytes" +
            (job.codePage == CodePageUtf8 ? std::string(" in UTF-8") : " in code page " + std::to_string(job.codePage)) +
            (job.extension.present ? ", with its extension" : "") + " (L2 = " +
            std::to_string(job.description.size() + 4) + ")\n";
    if (!job.titleText.empty()) text += "  title        " + job.titleText + "\n";
    if (!job.publisher.empty() || !job.version.empty())
        text += "  version info " + (job.publisher.empty() ? std::string() : job.publisher + ", ") + "version " +
                (job.version.empty() ? job.stubVersion : job.version) + "\n";
    if (!job.icon.empty())
        text += "  icon         " + std::to_string(job.icon.size()) + (job.icon.size() == 1 ? " image" : " images") +
                " from " + job.iconPath + "\n";
    for (uint32_t i = 0; i < job.extension.variantCount; ++i) {
        const PatchVariant& v = job.extension.variants[i];
        text += "  variant " + std::to_string(i + 1) + "    " + job.variants[i].label + ": made for " +
                SizeAndCrc(v.facts.originalSize, v.facts.originalCrc) + "; result " +
                SizeAndCrc(v.facts.resultSize, v.facts.resultCrc) + "; " +
                (i == 0 ? "the patch block"
                        : std::to_string(v.patchSize) + "-byte " +
                              (FormatOf(PatchOf(job.extension, i)) == PatchFormatBps ? "BPS" : "IPS") + " patch") +
                "\n";
    }
    if (job.extension.hasFacts && job.variants.empty())
        text += "  made for     " + std::to_string(job.extension.facts.originalSize) + " bytes, CRC-32 " +
                HexValue(job.extension.facts.originalCrc) + "; result " +
                std::to_string(job.extension.facts.resultSize) + " bytes, CRC-32 " +
                HexValue(job.extension.facts.resultCrc) + "\n";
    if (job.format == PatchFormatBps) {
        const BpsHeader& h = job.bpsScan.header;
        uint32_t actions = 0;
        for (uint32_t count : job.bpsScan.actionCount) actions += count;
        text += "  patch        " + std::to_string(job.patch.size()) + " bytes, BPS, " + std::to_string(actions) +
                " actions (L1 = " + std::to_string(job.patch.size() + 4) + ")\n";
        text += "  BPS source   " + SizeAndCrc(h.sourceSize, h.sourceCrc) + "; result " +
                SizeAndCrc(h.targetSize, h.targetCrc) + "\n";
    } else {
        text += "  patch        " + std::to_string(job.patch.size()) + " bytes, " +
                std::to_string(job.scan.recordCount) + " records (L1 = " + std::to_string(job.patch.size() + 4) + ")\n";
    }
    if (job.signer.present)
        text += "  signed by    " + (job.signer.readable ? job.signer.signer : std::string("(unreadable)")) +
                (job.signer.timestamped ? ", time-stamped" : "") + "\n";
    text += "  SHA-256      " + job.sha256 + "\n";
    Print(job.console, text);
}

}  // namespace

int RunBuild(const std::vector<std::string>& args, const Console& console) {
    BuildJob job(console);
    const bool built = ReadOptions(args, job) && CheckOutputIsNoSource(job) && ReadInputs(job) && CheckStub(job) &&
                       MakePatchFromPair(job) && CheckPatch(job) && EncodeDescriptionText(job) && CheckDescriptionSize(job) &&
                       ComputeTargetFacts(job) && AddExtension(job) && ReadIcon(job) && LayOutPatcher(job) &&
                       DressStub(job) && WritePatcher(job);
    if (built) ReportPatcher(job);
    return job.exitCode;
}
