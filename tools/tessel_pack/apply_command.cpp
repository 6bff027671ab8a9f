// tessel-pack apply: the program's patch run from the core, without a window.
#include <stdio.h>
#include <string.h>

#include "patch/byte_stream.h"
#include "patch/ips_patch.h"
#include "patch/patch_format.h"
#include "patch/patch_messages.h"
#include "patch/patch_run.h"
#include "patch/target_check.h"
#include "patch/patch_variants.h"
#include "platform/file_handle.h"
#include "tools/tessel_pack/command_job.h"
#include "tools/tessel_pack/commands.h"
#include "tools/tessel_pack/file_io.h"
#include "tools/tessel_pack/help.h"
#include "tools/tessel_pack/messages.h"
#include "tools/tessel_pack/patch_report.h"
#include "tools/tessel_pack/payload.h"
#include "tools/tessel_pack/pe_layout.h"
#include "tools/tessel_pack/tessel_program.h"

static const OptionDef kApplyOptions[] = {
    {"backup", 0, false, false},
    {"force", 0, false, false},
    {"variant", 0, true, false},
    {"help", 'h', false, false},
};
static const CommandSpec kApply = {"apply", kApplyOptions, sizeof kApplyOptions / sizeof kApplyOptions[0],
                                   kApplyHelp};

namespace {

// Stands where the program has its window: the --backup option for its
// check box, a text bar on stderr (drawn only for a person watching a
// terminal) for its progress bar, and the result kept for the caller, who
// knows whether it is news or an error, for its message box.
class ConsoleRunHooks : public PatchRunHooks {
public:
    ConsoleRunHooks(const Console& console, bool backup, bool force)
        : console_(console), backup_(backup), force_(force) {}
    bool WantsBackup() override { return backup_; }
    // Where the program asks its user, the tool goes on only with --force.
    bool ProceedWithUnknownTarget() override { return force_; }
    void Progress(uint32_t percent) override;
    void Finished(const PatchRunReport& report) override;
    // The program's own words for a result.
    void Words(const PatchRunReport& report);

    bool drawn = false;
    std::string message;
    std::string chosenLabel;  // set by the entry's report, read when it is told
    const PayloadExtension* extension = nullptr;

private:
    const Console& console_;
    bool backup_;
    bool force_;
};

void ConsoleRunHooks::Progress(uint32_t percent) {
    if (!console_.errIsTerminal) return;
    if (percent > 100) percent = 100;
    const uint32_t width = 40;
    const uint32_t filled = percent * width / 100;
    char line[64];
    memset(line, ' ', sizeof line);
    line[0] = '\r';
    line[1] = '[';
    for (uint32_t i = 0; i < filled; ++i) line[2 + i] = '#';
    snprintf(line + 2 + width, sizeof line - 2 - width, "] %3u%%", static_cast<unsigned>(percent));
    PrintToError(console_, line);
    drawn = true;
}

// "完成! 總用時:" with the variant's label after its "!" when the patcher
// has more than one: "完成! (Rev 1) 總用時:".
std::string DoneWords(const PatchRunReport& report, const std::string& label) {
    std::string done = MessageUtf8(PatchText(PatchTextDone));
    const size_t mark = done.find('!');
    if (report.variant.count > 1 && report.variant.matched && mark != std::string::npos)
        done.insert(mark + 1, " (" + label + ")");
    done += std::to_string(report.elapsedMs) + MessageUtf8(PatchText(PatchTextMs));
    if (report.variant.matched && report.variant.header == HeaderAdded)
        done += "\n" + MessageUtf8(PatchText(PatchTextHeaderKept));
    if (report.variant.matched && report.variant.header == HeaderMissing)
        done += "\n" + MessageUtf8(PatchText(PatchTextNoHeader));
    return done;
}

// The program's words for the result, as UTF-8.
void ConsoleRunHooks::Finished(const PatchRunReport& report) {
    if (extension && report.variant.matched) {
        chosenLabel = LabelOf(*extension, report.variant.chosen);
    }
    Words(report);
    // Said first, on its own line, whatever the run then did.
    if (report.interruptedRunRestored) message = MessageUtf8(PatchText(PatchTextInterrupted)) + "\n" + message;
}

void ConsoleRunHooks::Words(const PatchRunReport& report) {
    switch (report.result) {
    case PatchResultDone: message = DoneWords(report, chosenLabel); return;
    case PatchResultHeaderRefused: message = MessageUtf8(PatchText(PatchTextHeaderRefused)); return;
    case PatchResultWrongResult: message = MessageUtf8(PatchText(PatchTextWrongResult)); return;
    case PatchResultMalformed: message = MessageUtf8(PatchText(PatchTextError)); return;
    case PatchResultBackupFailed: message = MessageUtf8(PatchText(PatchTextBackupFailed)); return;
    case PatchResultWriteFailed: message = MessageUtf8(PatchText(PatchTextWriteFailed)); return;
    case PatchResultRestoreFailed:
        message = MessageUtf8(PatchText(PatchTextWriteFailed)) + " " + MessageUtf8(PatchText(PatchTextMayBeDamaged));
        return;
    case PatchResultAlreadyPatched: message = MessageUtf8(PatchText(PatchTextAlreadyPatched)); return;
    case PatchResultDeclined: message = "not the original file this patch needs"; return;
    case PatchResultWrongSource: message = MessageUtf8(PatchText(PatchTextWrongSource)); return;
    case PatchResultNoRoom: message = MessageUtf8(PatchText(PatchTextNoRoom)); return;
    }
}

struct ApplyJob : CommandJob {
    ApplyJob(const Console& console) : CommandJob(kApply, console) {}

    std::string source, target;
    bool backup = false;
    bool force = false;
    std::string variantLabel;  // --variant: that one alone
    int32_t only = -1;
    std::string patch;
    PayloadExtension extension = PayloadExtension();  // a patcher's: verification data, if any
    PatchRunReport report = {};
    PatchResult result = PatchResultDone;
    std::string message;  // the program's words for the result
};

bool ReadOptions(const std::vector<std::string>& args, ApplyJob& job) {
    if (!job.ReadCommandLine(args)) return false;
    const CommandLine& line = job.line;
    if (line.positionals.size() < 2)
        return job.UsageError(line.positionals.empty() ? "missing PATCHER.exe or PATCH.ips" : "missing TARGET");
    if (line.positionals.size() > 2) return job.UsageError("unexpected argument '" + line.positionals[2] + "'");
    job.source = line.positionals[0];
    job.target = line.positionals[1];
    job.backup = line.Has("backup");
    job.force = line.Has("force");
    if (const std::string* label = line.Value("variant")) job.variantLabel = *label;
    return true;
}

// --variant LABEL: one of the patcher's variants, by its label.
bool PickVariant(ApplyJob& job) {
    if (job.variantLabel.empty()) return true;
    std::string known;
    for (uint32_t i = 0; i < job.extension.variantCount; ++i) {
        const std::string label = LabelOf(job.extension, i);
        if (job.variantLabel == label) {
            job.only = static_cast<int32_t>(i);
            return true;
        }
        known += (i ? ", " : "") + label;
    }
    return job.UsageError(job.extension.variantCount == 0
                              ? "--variant " + job.variantLabel + ": " + job.source + " has no variants"
                              : "--variant " + job.variantLabel + ": not one of " + known);
}

// What a patcher with variants expected: each variant's source.
std::string ExpectedText(const PayloadExtension& extension, int32_t only) {
    std::string text;
    for (uint32_t i = 0; i < extension.variantCount; ++i) {
        if (only >= 0 && static_cast<uint32_t>(only) != i) continue;
        const PatchVariant& v = extension.variants[i];
        text += (text.empty() ? "" : " or ") + LabelOf(extension, i) + " (" +
                SizeAndCrc(v.facts.originalSize, v.facts.originalCrc) + ")";
    }
    return text;
}

// The patch of a bare .ips or .bps file, or the one a Tessel patcher carries.
bool ReadPatch(ApplyJob& job) {
    std::string bytes, reason;
    if (!ReadWholeFile(job.source, bytes, reason)) return job.Fail(kExitIoFailure, job.source, reason);
    if (FormatOf(bytes) != PatchFormatUnknown) {
        job.patch.swap(bytes);
        return true;
    }
    const std::string format = RecogniseOtherFormat(bytes);
    if (format.empty()) return job.Fail(kExitRefused, job.source, "neither an IPS or BPS patch nor a patcher");
    if (format != "a Windows program") return job.Fail(kExitRefused, job.source, NotAnIpsPatch(format));
    PeLayout layout;
    std::string version;
    if (!ReadPeLayout(bytes, layout, reason) || !RecogniseTesselProgram(bytes, layout, version, reason))
        return job.Fail(kExitRefused, job.source, reason);
    // The payload is read again from the file: the whole program need not
    // stay in memory beside its patch.
    const size_t fileSize = bytes.size();
    std::string().swap(bytes);
    CarriedPayload carried;
    ReadCarriedPayload(job.source, carried);
    if (carried.info.fileSize != fileSize)
        return job.Fail(kExitIoFailure, job.source, "changed while it was being read");
    if (!carried.patchFound)
        return job.Fail(kExitRefused, job.source,
                        "carries no payload (" + MessageUtf8(PatchText(PatchTextError)) + ")");
    job.patch.swap(carried.patch);
    job.extension = carried.extension;
    return true;
}

// Why the system refused, and for the usual causes what to do: the same
// reason the program's message box gives under its 寫入失敗! / 備份失敗!.
std::string FailureReason(uint32_t code, const std::string& path, uint32_t roomNeeded) {
    if (code == 0) return std::string();
    const ByteString said = FileErrorText(code);
    std::string reason = said.Empty() ? "error " + std::to_string(code) : std::string(said.CStr(), said.Length());
    // One line: the system's sentence loses its full stop before the advice.
    if (!reason.empty() && reason.back() == '.') reason.pop_back();
    switch (KindOfFileError(code, ByteString(path.c_str()))) {
    case FileErrorInUse: return reason + "; the file is open in another program: close it and try again";
    case FileErrorReadOnly: return reason + "; the file is read-only: clear its read-only attribute and try again";
    case FileErrorDiskFull:
        return reason + "; the disk is full: this needs " + std::to_string(roomNeeded / 1024 + (roomNeeded % 1024 != 0)) +
               " KB of free space; make room and try again";
    case FileErrorAccessDenied:
        return reason + "; access is denied: copy the file to a folder of your own, or run as administrator";
    case FileErrorOther: break;
    }
    return reason;
}

// The refusal of a file the patch was not made for names both sides, as
// the program's question does.
std::string NotOriginalDetail(const ApplyJob& job) {
    uint32_t size = 0, crc = 0;
    FileHandle file = OpenFileHandle(ByteString(job.target.c_str()), OpenModeReadOnly);
    const bool read = FileSizeAndCrc(file, &size, &crc);
    CloseFileHandle(file);
    const TargetFacts& facts = job.extension.facts;
    std::string detail = "it needs " + SizeAndCrc(facts.originalSize, facts.originalCrc);
    if (read) detail += "; " + job.target + " is " + SizeAndCrc(size, crc);
    return detail;
}

// The program only ever patches a file that exists (it tests the path
// first); the core run would create a missing one.
bool CheckTarget(ApplyJob& job) {
    if (!IsExistingFile(ByteString(job.target.c_str())))
        return job.Fail(kExitIoFailure, job.target, WhyNotAFile(job.target));
    return true;
}

// The run reads the patch where it lies: the tool holds it once.
bool RunPatch(ApplyJob& job) {
    ConsoleRunHooks hooks(job.console, job.backup, job.force);
    hooks.extension = &job.extension;
    job.result = ApplyPatchVariants(reinterpret_cast<const uint8_t*>(job.patch.data()),
                                    static_cast<uint32_t>(job.patch.size()), job.extension, job.only,
                                    ByteString(job.target.c_str()), &hooks, &job.report);
    if (hooks.drawn) PrintToError(job.console, "\n");
    job.message = hooks.message;
    return true;
}

// What a finished run did: records for IPS, the result for BPS.
std::string DoneText(const PatchRunReport& report) {
    if (report.format == PatchFormatBps) {
        const BpsScan& scan = report.bps.scan;
        uint32_t actions = 0;
        for (uint32_t count : scan.actionCount) actions += count;
        return std::to_string(actions) + " actions, result " +
               SizeAndCrc(scan.header.targetSize, scan.header.targetCrc) + " (checked)";
    }
    std::string text = std::to_string(report.ips.recordsApplied) + " records";
    if (report.ips.scan.endMarker == PatchEndTruncate)
        text += ", size set to " + std::to_string(report.ips.scan.truncateSize) + " bytes";
    return text;
}

// Why a block was refused, in the words of its format.
std::string RefusalText(const PatchRunReport& report, const std::string& patch) {
    if (report.format == PatchFormatBps) return DescribeBpsProblem(report.bps.scan);
    return DescribePatchProblem(report.ips.scan, patch);
}

uint32_t SizeOf(const std::string& path) {
    FileHandle file = OpenFileHandle(ByteString(path.c_str()), OpenModeReadOnly);
    const uint32_t size = GetFileSizeHandle(file);
    CloseFileHandle(file);
    return size == InvalidFileSize ? 0 : size;
}

// ": " and the system's reason, when the run kept one. The room a full disk
// lacks is the backup's size, or the target's growth.
std::string Because(const PatchRunReport& report, const std::string& target, bool backup) {
    const uint32_t size = SizeOf(target);
    const uint32_t after = report.format == PatchFormatIps ? ResultingTargetSize(report.ips.scan, size) : size;
    const uint32_t room = backup ? size : after > size ? after - size : 0;
    const std::string reason = FailureReason(report.systemError, backup ? target + ".bak" : target, room);
    return reason.empty() ? reason : ": " + reason;
}

// The program's message, then what happened in the tool's words.
void ReportResult(ApplyJob& job) {
    const PatchRunReport& report = job.report;
    switch (job.result) {
    case PatchResultDone: {
        std::string text = job.message + "\npatched " + job.target + ": " + DoneText(report);
        if (report.variant.matched)
            text += " as " + LabelOf(job.extension, report.variant.chosen) +
                    (report.variant.header == HeaderAdded     ? ", its copier header kept"
                     : report.variant.header == HeaderMissing ? ", without a copier header"
                                                              : "");
        if (job.backup) text += ", backup in " + job.target + ".bak";
        Print(job.console, text + "\n");
        return;
    }
    case PatchResultAlreadyPatched:
        // Not a failure: the target is in the state the user asked for.
        Print(job.console, job.message + "\n" + job.target + ": nothing written, no backup made" +
                               (report.variant.matched
                                    ? " (the result of " +
                                          LabelOf(job.extension, report.variant.chosen) + ")"
                                    : "") +
                               "\n");
        return;
    case PatchResultDeclined:
        job.Fail(kExitRefused, job.target,
                 job.message +
                     (report.variant.count ? " (expected " + ExpectedText(job.extension, job.only) + ", found " +
                                                 SizeAndCrc(report.variant.foundSize, report.variant.foundCrc) + ")"
                                           : ": " + NotOriginalDetail(job)) +
                     " (nothing written; --force patches it anyway)");
        return;
    case PatchResultHeaderRefused:
        job.Fail(kExitRefused, job.target, job.message + " (nothing written)");
        return;
    case PatchResultWrongResult:
        job.Fail(kExitIoFailure, job.target,
                 job.message + " (" + SizeAndCrc(report.variant.foundSize, report.variant.foundCrc) +
                     " was patched" + (report.backupMade ? "; the original is in " + job.target + ".bak)" : ")"));
        return;
    case PatchResultMalformed:
        job.Fail(kExitRefused, job.source,
                 job.message + " (" + RefusalText(report, job.patch) + "; " + job.target + " is unchanged)");
        return;
    case PatchResultWrongSource:
        if (report.variant.count) {
            job.Fail(kExitRefused, job.target,
                     job.message + " (expected " + ExpectedText(job.extension, job.only) + ", found " +
                         SizeAndCrc(report.variant.foundSize, report.variant.foundCrc) + "; nothing written)");
            return;
        }
        job.Fail(kExitRefused, job.target,
                 job.message + " (the patch needs " +
                     SizeAndCrc(report.bps.scan.header.sourceSize, report.bps.scan.header.sourceCrc) + ", found " +
                     SizeAndCrc(report.bps.foundSize, report.bps.foundCrc) + "; nothing written)");
        return;
    case PatchResultNoRoom:
        job.Fail(kExitIoFailure, job.target,
                 job.message + " (the result needs " + std::to_string(report.bps.roomNeeded) + " bytes beside it, " +
                     std::to_string(report.bps.roomFree) + " are free; nothing written)");
        return;
    case PatchResultBackupFailed:
        job.Fail(kExitIoFailure, job.target + ".bak",
                 job.message + (report.format == PatchFormatBps
                                    ? " (the original could not be moved to the backup name; " + job.target +
                                          " was not touched)"
                                    : " (the backup copy could not be made; " + job.target + " was not touched)") +
                     Because(report, job.target, true));
        return;
    case PatchResultWriteFailed:
        job.Fail(kExitIoFailure, job.target,
                 job.message + (report.notRegularFile ? " (not a regular file but a FIFO or a device; nothing was "
                                                        "read or written)"
                                : report.openFailed ? " (the file cannot be opened for writing)"
                                : report.journalFailed
                                    ? " (the undo journal " + job.target +
                                          ".tessel-undo cannot be created beside it; nothing was changed)"
                                : report.outOfMemory ? " (out of memory; nothing was changed)"
                                : report.bps.resultCrcWrong
                                    ? " (the result's CRC-32 is not the patch's: the file changed while it was read; "
                                      "nothing was changed)"
                                    : " (nothing was changed)") +
                     Because(report, job.target, false));
        return;
    case PatchResultRestoreFailed:
        job.Fail(kExitIoFailure, job.target,
                 job.message + (report.backupMade ? " (the original is in " + job.target + ".bak"
                                                  : " (no backup was asked for") +
                     "; the undo journal " + job.target + ".tessel-undo is kept: the next run puts the file back)" +
                     Because(report, job.target, false));
        return;
    }
}

}  // namespace

int RunApply(const std::vector<std::string>& args, const Console& console) {
    ApplyJob job(console);
    if (ReadOptions(args, job) && ReadPatch(job) && PickVariant(job) && CheckTarget(job) && RunPatch(job)) ReportResult(job);
    return job.exitCode;
}
