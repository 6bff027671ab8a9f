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
#include "tools/tessel_pack/patch_report.h"
#include "tools/tessel_pack/payload.h"
#include "tools/tessel_pack/pe_layout.h"
#include "tools/tessel_pack/tessel_program.h"

static const OptionDef kBuildOptions[] = {
    {"stub", 0, true},     {"patch", 0, true},    {"description", 0, true}, {"title", 0, true},
    {"source", 0, true},   {"codepage", 0, true}, {"output", 'o', true},    {"help", 'h', false},
};
static const CommandSpec kBuild = {"build", kBuildOptions, sizeof kBuildOptions / sizeof kBuildOptions[0],
                                   kBuildHelp};

namespace {

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
};

bool ReadOptions(const std::vector<std::string>& args, BuildJob& job) {
    if (!job.ReadCommandLine(args)) return false;
    const CommandLine& line = job.line;
    if (!line.positionals.empty()) return job.UsageError("unexpected argument '" + line.positionals[0] + "'");
    for (const char* required : {"patch", "description", "output"})
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
    job.patchPath = *line.Value("patch");
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
// patch applied to the original in memory exactly as the program will.
bool ComputeTargetFacts(BuildJob& job) {
    if (job.sourcePath.empty()) return true;
    std::string original, reason;
    if (!ReadWholeFile(job.sourcePath, original, reason)) return job.Fail(kExitIoFailure, job.sourcePath, reason);
    if (original.size() > 0xFFFFFFF0u) return job.Fail(kExitRefused, job.sourcePath, "larger than 4 GiB");
    if (job.format == PatchFormatBps) return CheckBpsSource(job, original);
    ByteStream* patch = CreateMemoryStream();
    ByteStream* result = CreateMemoryStream();
    const bool applied = patch && result &&
                         StreamWrite(patch, job.patch.data(), uint32_t(job.patch.size())) == job.patch.size() &&
                         (original.empty() ||
                          StreamWrite(result, original.data(), uint32_t(original.size())) == original.size()) &&
                         ApplyPatchToStream(patch, result, nullptr, nullptr) == PatchResultDone;
    TargetFacts& facts = job.extension.facts;
    if (applied) {
        facts.originalSize = uint32_t(original.size());
        facts.originalCrc = Crc32Update(0, reinterpret_cast<const uint8_t*>(original.data()), facts.originalSize);
        facts.resultSize = StreamGetSize(result);
        facts.resultCrc = Crc32Update(0, result->block, facts.resultSize);
        job.extension.hasFacts = true;
    }
    Release(patch);
    Release(result);
    return applied || job.Fail(kExitIoFailure, job.sourcePath, "out of memory applying the patch to it");
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
    if (job.format == PatchFormatIps)
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
    if (job.extension.hasFacts)
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
