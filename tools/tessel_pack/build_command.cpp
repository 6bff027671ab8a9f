// tessel-pack build: stub + description + L2 + patch + L1.
#include "patch/bps_patch.h"
#include "patch/byte_stream.h"
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
#include "tools/tessel_pack/patch_report.h"
#include "tools/tessel_pack/payload.h"
#include "tools/tessel_pack/pe_layout.h"
#include "tools/tessel_pack/tessel_program.h"

static const OptionDef kBuildOptions[] = {
    {"stub", 0, true, false},   {"patch", 0, true, true},        {"description", 0, true, false},
    {"title", 0, true, false},  {"source", 0, true, true},       {"codepage", 0, true, false},
    {"output", 'o', true, false}, {"variant", 0, true, true},    {"help", 'h', false, false},
};
static const CommandSpec kBuild = {"build", kBuildOptions, sizeof kBuildOptions / sizeof kBuildOptions[0],
                                   kBuildHelp};

namespace {

// One --variant group: its label, its patch and the file it was made for.
struct VariantInput {
    std::string label, patchPath, sourcePath;
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
    std::vector<VariantInput> variants;  // empty: one patch, as before variants

    // What was read, then what it becomes.
    std::string stub, patch, descriptionText;
    PeLayout layout = {};
    std::string stubVersion;
    CarriedPayload carried = CarriedPayload();  // an old payload the stub file carries (none when embedded)
    PatchScan scan = {};
    std::string description;  // in the code page
    std::string title;        // likewise
    PayloadExtension extension = PayloadExtension();
    std::string payload;
};

// --variant LABEL, each followed by its own --patch and --source. Without
// --variant, --patch alone (and --source) as always.
bool ReadVariantGroups(const CommandLine& line, BuildJob& job) {
    std::string loose;  // a --patch or --source before the first --variant
    for (const auto& option : line.options) {
        if (option.first == "variant") {
            if (option.second.empty() || option.second.size() > MaxVariantLabel)
                return job.UsageError("--variant needs a label of 1 to 255 bytes");
            for (const VariantInput& earlier : job.variants)
                if (earlier.label == option.second) return job.UsageError("--variant " + option.second + " given twice");
            job.variants.push_back(VariantInput{option.second, "", ""});
        } else if (option.first == "patch" || option.first == "source") {
            if (job.variants.empty()) loose = option.first;
            else (option.first == "patch" ? job.variants.back().patchPath : job.variants.back().sourcePath) = option.second;
        }
    }
    if (job.variants.empty()) return line.Has("patch") || job.UsageError("missing --patch");
    if (!loose.empty()) return job.UsageError("--" + loose + " before the first --variant: each goes after its variant's label");
    if (job.variants.size() > MaxPatchVariants) return job.UsageError("at most 16 variants");
    for (const VariantInput& v : job.variants)
        if (v.patchPath.empty() || v.sourcePath.empty())
            return job.UsageError("--variant " + v.label + " needs its --patch and its --source");
    return true;
}

bool ReadOptions(const std::vector<std::string>& args, BuildJob& job) {
    if (!job.ReadCommandLine(args)) return false;
    const CommandLine& line = job.line;
    if (!line.positionals.empty()) return job.UsageError("unexpected argument '" + line.positionals[0] + "'");
    if (!ReadVariantGroups(line, job)) return false;
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
    if (job.titleText.find_first_of("\r\n") != std::string::npos)
        return job.UsageError("--title is one line: it is the window's caption");
    job.patchPath = job.variants.empty() ? *line.Value("patch") : job.variants[0].patchPath;
    job.descriptionPath = *line.Value("description");
    job.outputPath = *line.Value("output");
    job.descriptionName = job.descriptionPath == "-" ? "standard input" : job.descriptionPath;
    return true;
}

// The patcher replaces OUT; OUT may be the stub (its payload is replaced),
// never the patch or the description the publisher keeps.
bool CheckOutputIsNoSource(BuildJob& job) {
    const struct {
        const std::string& path;
        const char* what;
    } sources[] = {{job.patchPath, "the patch (--patch)"}, {job.descriptionPath, "the description (--description)"}};
    for (const auto& source : sources)
        if (source.path != "-" && IsSameFile(job.outputPath, source.path))
            return job.UsageError("-o " + job.outputPath + " is " + source.what +
                                  ": the patcher would overwrite it; write it to another file");
    for (const VariantInput& v : job.variants)
        for (const std::string* path : {&v.patchPath, &v.sourcePath})
            if (*path != "-" && IsSameFile(job.outputPath, *path))
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
    if (!ReadWholeFile(job.patchPath, job.patch, reason)) return job.Fail(kExitIoFailure, job.patchPath, reason);
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

// An IPS patch, or with variants also a BPS patch, checked whole.
bool CheckPatchBytes(BuildJob& job, const std::string& path, const std::string& bytes, PatchScan& scan) {
    const PatchFormat format = FormatOf(bytes);
    const uint8_t* block = reinterpret_cast<const uint8_t*>(bytes.data());
    if (format == PatchFormatBps && !job.variants.empty()) {
        BpsScan bps;
        return ScanBpsPatch(block, static_cast<uint32_t>(bytes.size()), &bps) ||
               job.Fail(kExitRefused, path, DescribeBpsProblem(bps));
    }
    const std::string other = format == PatchFormatIps ? "" : RecogniseOtherFormat(bytes);
    if (!other.empty()) return job.Fail(kExitRefused, path, NotAnIpsPatch(other));
    if (!ScanPatch(block, static_cast<uint32_t>(bytes.size()), &scan))
        return job.Fail(kExitRefused, path, DescribePatchProblem(scan, bytes));
    return true;
}

bool CheckPatch(BuildJob& job) { return CheckPatchBytes(job, job.patchPath, job.patch, job.scan); }

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

// The patch applied to the original in memory exactly as the program
// applies it. False with the reason.
bool MakeResult(const std::string& patch, const std::string& original, std::string& result, std::string& why) {
    const uint8_t* block = reinterpret_cast<const uint8_t*>(patch.data());
    if (FormatOf(patch) == PatchFormatBps) {
        BpsScan scan;
        ReadBpsHeader(block, uint32_t(patch.size()), &scan);
        result.assign(scan.header.targetSize, '\0');
        BpsProblem problem;
        if (BpsApplyInMemory(block, uint32_t(patch.size()), reinterpret_cast<const uint8_t*>(original.data()),
                             uint32_t(original.size()), reinterpret_cast<uint8_t*>(&result[0]), uint32_t(result.size()),
                             &problem))
            return true;
        why = problem == BpsProblemSourceMismatch ? "not the file this BPS patch was made for (its size or CRC-32 differs)"
                                                  : "the BPS patch does not apply to it";
        return false;
    }
    ByteStream* stream = CreateMemoryStream();
    ByteStream* target = CreateMemoryStream();
    const bool applied = stream && target &&
                         StreamWrite(stream, patch.data(), uint32_t(patch.size())) == patch.size() &&
                         (original.empty() ||
                          StreamWrite(target, original.data(), uint32_t(original.size())) == original.size()) &&
                         ApplyPatchToStream(stream, target, nullptr, nullptr) == PatchResultDone;
    if (applied) result.assign(reinterpret_cast<const char*>(target->block), StreamGetSize(target));
    Release(stream);
    Release(target);
    if (!applied) why = "out of memory applying the patch to it";
    return applied;
}

uint32_t CrcOf(const std::string& bytes, size_t from = 0) {
    if (bytes.size() <= from) return 0;
    return Crc32Update(0, reinterpret_cast<const uint8_t*>(bytes.data()) + from, uint32_t(bytes.size() - from));
}

// One variant: its patch and its source read, the result made, the facts
// recorded (whole, and past a copier header).
bool AddVariant(BuildJob& job, const VariantInput& input, bool first) {
    std::string patch, original, result, reason;
    PatchScan scan = {};
    if (!ReadWholeFile(input.patchPath, patch, reason)) return job.Fail(kExitIoFailure, input.patchPath, reason);
    if (!CheckPatchBytes(job, input.patchPath, patch, scan)) return false;
    if (!ReadWholeFile(input.sourcePath, original, reason)) return job.Fail(kExitIoFailure, input.sourcePath, reason);
    if (original.size() > 0xFFFFFFF0u) return job.Fail(kExitRefused, input.sourcePath, "larger than 4 GiB");
    if (!MakeResult(patch, original, result, reason)) return job.Fail(kExitRefused, input.sourcePath, reason);
    if (result.size() > 0xFFFFFFF0u) return job.Fail(kExitRefused, input.patchPath, "its result is larger than 4 GiB");
    PatchVariant v = {};
    v.facts = TargetFacts{uint32_t(original.size()), CrcOf(original), uint32_t(result.size()), CrcOf(result)};
    v.sourceBodyCrc = original.size() > CopierHeaderSize ? CrcOf(original, CopierHeaderSize) : 0;
    v.resultBodyCrc = result.size() > CopierHeaderSize ? CrcOf(result, CopierHeaderSize) : 0;
    // A file must say which variant it is.
    for (uint32_t i = 0; i < job.extension.variantCount; ++i)
        if (job.extension.variants[i].facts.originalSize == v.facts.originalSize &&
            job.extension.variants[i].facts.originalCrc == v.facts.originalCrc)
            return job.Fail(kExitRefused, input.sourcePath,
                            "the same file as the source of --variant " + job.variants[i].label);
    if (!AddPatchVariant(&job.extension, v, ByteString(input.label.data(), uint32_t(input.label.size())),
                         reinterpret_cast<const uint8_t*>(patch.data()), first ? 0 : uint32_t(patch.size())))
        return job.Fail(kExitIoFailure, input.patchPath, "out of memory");
    return true;
}

// --source: the sizes and CRC-32 of the original and of the result, the
// patch applied to the original in memory exactly as the program will.
// With variants, every variant's; the first one's are also the facts
// programs that know no variants check.
bool ComputeTargetFacts(BuildJob& job) {
    if (!job.variants.empty()) {
        for (size_t i = 0; i < job.variants.size(); ++i)
            if (!AddVariant(job, job.variants[i], i == 0)) return false;
        job.extension.facts = job.extension.variants[0].facts;
        job.extension.hasFacts = true;
        return true;
    }
    if (job.sourcePath.empty()) return true;
    std::string original, result, reason;
    if (!ReadWholeFile(job.sourcePath, original, reason)) return job.Fail(kExitIoFailure, job.sourcePath, reason);
    if (original.size() > 0xFFFFFFF0u) return job.Fail(kExitRefused, job.sourcePath, "larger than 4 GiB");
    if (!MakeResult(job.patch, original, result, reason)) return job.Fail(kExitIoFailure, job.sourcePath, reason);
    job.extension.facts = TargetFacts{uint32_t(original.size()), CrcOf(original), uint32_t(result.size()), CrcOf(result)};
    job.extension.hasFacts = true;
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
    const uint64_t stubLength = StubExecutableLength(job.stub.size(), job.layout, job.carried);
    if (!FitsInContainer(stubLength, job.description.size(), job.patch.size()))
        return job.Fail(kExitRefused, job.outputPath, "the patcher would reach 4 GiB, which the program cannot read");
    if (stubLength < job.stub.size() && !job.carried.info.l2Valid)
        job.Warn(job.stubPath, "its old payload has a damaged description length; only its patch block is left out");
    if (FormatOf(job.patch) == PatchFormatIps)
        for (const std::string& warning : PatchWarnings(job.scan)) job.Warn(job.patchPath, warning);
    job.stub.resize(stubLength);
    job.payload = ComposePayload(job.description, job.patch);
    return true;
}

bool WritePatcher(BuildJob& job) {
    std::string reason;
    if (!WriteFileAtomically(job.outputPath, {&job.stub, &job.payload}, reason))
        return job.Fail(kExitIoFailure, job.outputPath, reason);
    return true;
}

void ReportPatcher(const BuildJob& job) {
    const uint64_t oldPayload = job.carried.info.fileSize - job.stub.size();
    std::string text = "wrote " + job.outputPath + ": " + std::to_string(job.stub.size() + job.payload.size()) +
                       " bytes\n";
    text += "  stub         " + std::to_string(job.stub.size()) + " bytes " +
            (job.stubPath.empty() ? "built into tessel-pack" : "from " + job.stubPath) + " (Tessel " + job.stubVersion;
    if (!job.stubPath.empty() && oldPayload > 0)
        text += "; its old " + std::to_string(oldPayload) + "-byte payload left out";
    text += ")";
    text += "\n  description  " + std::to_string(job.description.size()) + " bytes" +
            (job.codePage == CodePageUtf8 ? std::string(" in UTF-8") : " in code page " + std::to_string(job.codePage)) +
            (job.extension.present ? ", with its extension" : "") + " (L2 = " +
            std::to_string(job.description.size() + 4) + ")\n";
    if (!job.titleText.empty()) text += "  title        " + job.titleText + "\n";
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
    text += "  patch        " + std::to_string(job.patch.size()) + " bytes, " +
            (FormatOf(job.patch) == PatchFormatBps ? std::string("BPS") : std::to_string(job.scan.recordCount) + " records") +
            " (L1 = " + std::to_string(job.patch.size() + 4) + ")\n";
    Print(job.console, text);
}

}  // namespace

int RunBuild(const std::vector<std::string>& args, const Console& console) {
    BuildJob job(console);
    const bool built = ReadOptions(args, job) && CheckOutputIsNoSource(job) && ReadInputs(job) && CheckStub(job) &&
                       CheckPatch(job) && EncodeDescriptionText(job) && CheckDescriptionSize(job) && ComputeTargetFacts(job) &&
                       AddExtension(job) && LayOutPatcher(job) && WritePatcher(job);
    if (built) ReportPatcher(job);
    return job.exitCode;
}
