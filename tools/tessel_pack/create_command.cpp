// tessel-pack create: a bare IPS or BPS patch from an original and a
// modified file.
#include "tools/tessel_pack/command_job.h"
#include "tools/tessel_pack/commands.h"
#include "tools/tessel_pack/file_io.h"
#include "tools/tessel_pack/help.h"
#include "tools/tessel_pack/pair_patch.h"
#include "tools/tessel_pack/patch_report.h"
#include "patch/target_check.h"

static const OptionDef kCreateOptions[] = {
    {"original", 0, true}, {"modified", 0, true}, {"format", 0, true}, {"output", 'o', true}, {"help", 'h', false},
};
static const CommandSpec kCreate = {"create", kCreateOptions, sizeof kCreateOptions / sizeof kCreateOptions[0],
                                    kCreateHelp};

namespace {

struct CreateJob : CommandJob {
    CreateJob(const Console& console) : CommandJob(kCreate, console) {}

    std::string originalPath, modifiedPath, outputPath;
    PatchFormat format = PatchFormatIps;
    std::string original, modified, patch;
};

bool ReadOptions(const std::vector<std::string>& args, CreateJob& job) {
    if (!job.ReadCommandLine(args)) return false;
    const CommandLine& line = job.line;
    if (!line.positionals.empty()) return job.UsageError("unexpected argument '" + line.positionals[0] + "'");
    for (const char* required : {"original", "modified", "output"})
        if (!line.Has(required)) return job.UsageError(std::string("missing --") + required);
    job.originalPath = *line.Value("original");
    job.modifiedPath = *line.Value("modified");
    job.outputPath = *line.Value("output");
    if (const std::string* format = line.Value("format")) {
        if (!ParseFormat(*format, job.format)) return job.UsageError("--format is ips or bps, not '" + *format + "'");
    } else if (!FormatFromExtension(job.outputPath, job.format)) {
        return job.UsageError("-o " + job.outputPath + ": name it .ips or .bps, or give --format ips|bps");
    }
    for (const std::string* input : {&job.originalPath, &job.modifiedPath})
        if (IsSameFile(job.outputPath, *input))
            return job.UsageError("-o " + job.outputPath + " is " + *input +
                                  ": the patch would overwrite it; write it to another file");
    return true;
}

bool ReadPair(CreateJob& job) {
    std::string reason;
    if (!ReadWholeFile(job.originalPath, job.original, reason))
        return job.Fail(kExitIoFailure, job.originalPath, reason);
    if (!ReadWholeFile(job.modifiedPath, job.modified, reason))
        return job.Fail(kExitIoFailure, job.modifiedPath, reason);
    return true;
}

bool CheckPair(CreateJob& job) {
    const std::string why = WhyOriginalIsPatched(job.original, job.modified);
    return why.empty() || job.Fail(kExitRefused, job.originalPath, why);
}

bool MakePatch(CreateJob& job) {
    std::string reason;
    ProgressLine progress(job.console, "finding copies");
    const bool made = MakeCheckedPatch(job.format, job.original, job.modified, job.patch, reason,
                                       ProgressLine::Report, &progress);
    progress.Finish();
    return made || job.Fail(kExitRefused, job.outputPath, reason);
}

bool WritePatch(CreateJob& job) {
    std::string reason;
    if (!WriteFileAtomically(job.outputPath, {&job.patch}, reason))
        return job.Fail(kExitIoFailure, job.outputPath, reason);
    return true;
}

std::string FileLine(const char* name, const std::string& bytes) {
    return std::string("  ") + name + std::to_string(bytes.size()) + " bytes, CRC-32 " +
           HexValue(Crc32Update(0, reinterpret_cast<const uint8_t*>(bytes.data()), uint32_t(bytes.size()))) + "\n";
}

void ReportPatch(const CreateJob& job) {
    std::string text = "wrote " + job.outputPath + ": " + std::to_string(job.patch.size()) + " bytes, " +
                       FormatName(job.format) + "\n";
    text += FileLine("original  ", job.original);
    text += FileLine("modified  ", job.modified);
    text += "  checked   applied to the original in memory, it gives the modified file\n";
    Print(job.console, text);
}

}  // namespace

int RunCreate(const std::vector<std::string>& args, const Console& console) {
    CreateJob job(console);
    if (ReadOptions(args, job) && ReadPair(job) && CheckPair(job) && MakePatch(job) && WritePatch(job))
        ReportPatch(job);
    return job.exitCode;
}
