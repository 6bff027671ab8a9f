// tessel-pack apply: the program's patch run from the core, without a window.
#include <stdio.h>
#include <string.h>

#include "patch/byte_stream.h"
#include "platform/file_handle.h"
#include "patch/ips_patch.h"
#include "patch/patch_run.h"
#include "patch/patch_messages.h"
#include "tools/tessel_pack/args.h"
#include "tools/tessel_pack/commands.h"
#include "tools/tessel_pack/file_io.h"
#include "tools/tessel_pack/help.h"
#include "tools/tessel_pack/messages.h"
#include "tools/tessel_pack/patch_report.h"
#include "tools/tessel_pack/payload.h"

static const char kCommand[] = "apply";

static const OptionDef kApplyOptions[] = {
    {"backup", 0, false},
    {"help", 'h', false},
};

static int UsageError(const Console& console, const std::string& what) {
    PrintError(console, kCommand, "", what + " (see 'tessel-pack apply --help')");
    return kExitUsage;
}

namespace {

// Stands where the program has its window: the --backup option for its
// check box, a text bar on stderr (drawn only for a person watching a
// terminal) for its progress bar, and the result kept for the caller, who
// knows whether it is news or an error, for its message box.
class ConsoleRunHooks : public PatchRunHooks {
public:
    ConsoleRunHooks(const Console& console, bool backup) : console_(console), backup_(backup) {}
    bool WantsBackup() override { return backup_; }
    void Progress(uint32_t percent) override;
    void Finished(const PatchRunReport& report) override;

    bool drawn = false;
    std::string message;

private:
    const Console& console_;
    bool backup_;
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
    fputs(line, console_.err);
    fflush(console_.err);
    drawn = true;
}

// The program's own words for each result, as UTF-8.
void ConsoleRunHooks::Finished(const PatchRunReport& report) {
    switch (report.result) {
    case PatchResultDone:
        message = MessageUtf8(PatchTextDone) + std::to_string(report.elapsedMs) + MessageUtf8(PatchTextMs);
        return;
    case PatchResultMalformed: message = MessageUtf8(PatchTextError); return;
    case PatchResultBackupFailed: message = MessageUtf8(PatchTextBackupFailed); return;
    case PatchResultWriteFailed: message = MessageUtf8(PatchTextWriteFailed); return;
    case PatchResultRestoreFailed:
        message = MessageUtf8(PatchTextWriteFailed) + " " + MessageUtf8(PatchTextMayBeDamaged);
        return;
    case PatchResultAlreadyPatched: message = MessageUtf8(PatchTextAlreadyPatched); return;
    case PatchResultDeclined: message = "not the original file this patch needs"; return;
    }
}

}  // namespace

int RunApply(const std::vector<std::string>& args, const Console& console) {
    CommandLine line;
    std::string error;
    if (!ParseCommandLine(args, kApplyOptions, sizeof kApplyOptions / sizeof kApplyOptions[0], line,
                          error))
        return UsageError(console, error);
    if (line.Has("help")) {
        fputs(kApplyHelp, console.out);
        return kExitSuccess;
    }
    if (line.positionals.size() < 2)
        return UsageError(console, line.positionals.empty() ? "missing PATCHER.exe or PATCH.ips"
                                                            : "missing TARGET");
    if (line.positionals.size() > 2)
        return UsageError(console, "unexpected argument '" + line.positionals[2] + "'");
    const std::string& source = line.positionals[0];
    const std::string& target = line.positionals[1];

    std::string bytes, reason;
    if (!ReadWholeFile(source, bytes, reason)) {
        PrintError(console, kCommand, source, reason);
        return kExitIoFailure;
    }
    std::string patch;
    if (bytes.compare(0, 5, "PATCH") == 0) {
        patch.swap(bytes);
    } else if (bytes.compare(0, 2, "MZ") == 0) {
        CarriedPayload carried;
        ReadCarriedPayload(source, carried);
        if (carried.info.fileSize != bytes.size()) {
            PrintError(console, kCommand, source, "changed while it was being read");
            return kExitIoFailure;
        }
        if (!carried.patchFound) {
            PrintError(console, kCommand, source,
                       "carries no payload (" + MessageUtf8(PatchTextError) + ")");
            return kExitRefused;
        }
        patch.swap(carried.patch);
    } else {
        PrintError(console, kCommand, source, "neither an IPS patch nor a patcher");
        return kExitRefused;
    }

    // The program only ever patches a file that exists (it tests the path
    // first); the core run would create a missing one.
    if (!IsExistingFile(ByteString(target.c_str()))) {
        PrintError(console, kCommand, target, WhyNotAFile(target));
        return kExitIoFailure;
    }

    ByteStream* stream = CreateMemoryStream();
    if (!stream || StreamWrite(stream, patch.data(), static_cast<uint32_t>(patch.size())) != patch.size()) {
        Release(stream);
        PrintError(console, kCommand, source, "out of memory");
        return kExitIoFailure;
    }

    ConsoleRunHooks hooks(console, line.Has("backup"));
    PatchRunReport report;
    const PatchResult result = ApplyPatch(stream, ByteString(target.c_str()), &hooks, &report);
    Release(stream);
    if (hooks.drawn) fputs("\n", console.err);
    const std::string& message = hooks.message;

    switch (result) {
    case PatchResultDone:
        fprintf(console.out, "%s\n", message.c_str());
        fprintf(console.out, "patched %s: %u records", target.c_str(),
                static_cast<unsigned>(report.recordsApplied));
        if (report.scan.endMarker == PatchEndTruncate)
            fprintf(console.out, ", size set to %u bytes", static_cast<unsigned>(report.scan.truncateSize));
        if (line.Has("backup")) fprintf(console.out, ", backup in %s.bak", target.c_str());
        fputs("\n", console.out);
        fflush(console.out);
        return kExitSuccess;
    case PatchResultAlreadyPatched:
        // Not a failure: the target is in the state the user asked for.
        fprintf(console.out, "%s\n%s: nothing written, no backup made\n", message.c_str(), target.c_str());
        fflush(console.out);
        return kExitSuccess;
    case PatchResultDeclined:
        PrintError(console, kCommand, target, message + " (nothing written; --force patches it anyway)");
        return kExitRefused;
    case PatchResultMalformed:
        PrintError(console, kCommand, source,
                   message + " (" + DescribePatchProblem(report.scan, patch) + "; " + target +
                       " is unchanged)");
        return kExitRefused;
    case PatchResultBackupFailed:
        PrintError(console, kCommand, target + ".bak",
                   message + " (the backup copy could not be made; " + target + " was not touched)");
        return kExitIoFailure;
    case PatchResultWriteFailed:
        PrintError(console, kCommand, target,
                   message + (report.openFailed ? " (the file cannot be opened for writing)"
                              : report.outOfMemory ? " (out of memory; nothing was changed)"
                                                   : " (nothing was changed)"));
        return kExitIoFailure;
    case PatchResultRestoreFailed:
        PrintError(console, kCommand, target,
                   message + (report.backupMade ? " (the original is in " + target + ".bak)"
                                                : " (no backup was asked for)"));
        return kExitIoFailure;
    }
    return kExitIoFailure;
}
