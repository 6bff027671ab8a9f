// tessel-pack apply: the program's patch run from the core, without a window.
#include <stdio.h>
#include <string.h>

#include "core/byte_stream.h"
#include "core/file_handle.h"
#include "core/ips_patch.h"
#include "core/patch_messages.h"
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

// Stands where the program has its progress bar: a text bar on stderr, drawn
// only for a person watching a terminal.
struct ProgressBar {
    const Console* console;
    bool drawn;
};

void DrawProgress(void* context, uint32_t position) {
    ProgressBar* bar = static_cast<ProgressBar*>(context);
    if (!bar->console->errIsTerminal) return;
    if (position > 100) position = 100;
    const uint32_t width = 40;
    const uint32_t filled = position * width / 100;
    char line[64];
    memset(line, ' ', sizeof line);
    line[0] = '\r';
    line[1] = '[';
    for (uint32_t i = 0; i < filled; ++i) line[2 + i] = '#';
    snprintf(line + 2 + width, sizeof line - 2 - width, "] %3u%%", static_cast<unsigned>(position));
    fputs(line, bar->console->err);
    fflush(bar->console->err);
    bar->drawn = true;
}

// Stands where the program has its message box: keeps the text for the
// caller, who knows whether it is news or an error.
void KeepMessage(void* context, const ByteString& message, uint32_t /*type*/) {
    static_cast<std::string*>(context)->assign(message.CStr(), message.Length());
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

    ProgressBar bar = {&console, false};
    std::string message;
    PatchRunHooks hooks = {line.Has("backup"), DrawProgress, &bar, KeepMessage, &message};
    const std::string texts[] = {MessageUtf8(PatchTextDone), MessageUtf8(PatchTextMs),
                                 MessageUtf8(PatchTextError), MessageUtf8(PatchTextWriteFailed),
                                 MessageUtf8(PatchTextBackupFailed)};
    const ByteString done(texts[0].c_str()), ms(texts[1].c_str()), malformed(texts[2].c_str()),
        writeFailed(texts[3].c_str()), backupFailed(texts[4].c_str());
    const PatchMessages messages = {&done, &ms, &malformed, &writeFailed, &backupFailed};
    PatchRunReport report;
    const PatchResult result = ApplyPatch(stream, ByteString(target.c_str()), hooks, messages, &report);
    Release(stream);
    if (bar.drawn) fputs("\n", console.err);

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
        // The scan runs after the open: a target that could not be opened
        // leaves it unfilled.
        if (!report.scan.valid)
            PrintError(console, kCommand, target,
                       message + " (the file cannot be opened for writing)");
        else
            PrintError(console, kCommand, target,
                       message + " (" + std::to_string(report.recordsApplied) + " of " +
                           std::to_string(report.scan.recordCount) +
                           " records were written before the failure)");
        return kExitIoFailure;
    }
    return kExitIoFailure;
}
