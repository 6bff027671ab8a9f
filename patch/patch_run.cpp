// The format-neutral entry of a patch run: the block's format is identified
// once, here, and the run handed to that format's route.
#include "patch/patch_run.h"

#include <string.h>

#include "patch/byte_stream.h"
#include "patch/run_host.h"
#include "patch/undo_journal.h"
#include "platform/clock.h"
#include "platform/file_handle.h"
#include "platform/file_replace.h"

bool PatchBlockOf(ByteStream* patch, const uint8_t** block, uint32_t* size) {
    *block = nullptr;
    *size = 0;
    if (!patch || patch->methods->Read != MemoryStreamTable.Read) return false;
    *block = patch->block;
    *size = patch->size;
    return true;
}

RunHost StartRunHost(PatchRunHooks* hooks) {
    RunHost host = {hooks, 0, TickCount(), PhaseWrite, false, {0, 0, 0}, {0, 0, 100}, false, -1};
    return host;
}

namespace {

// The bar is shared by a run's phases in proportion to the bytes each
// moves: identification reads the whole target (only when the patcher
// carries its size and CRC-32 to compare), the backup reads and writes
// it, and the writes take the span they cover. A run with neither, or on
// an empty target, keeps the whole bar for its writes, as it always did.
void PlanBar(RunHost& host, uint32_t targetSize) {
    host.planned = true;
    const uint32_t size = targetSize >> 10;
    host.weight[PhaseIdentify] *= size;
    host.weight[PhaseCopy] *= 2 * size;
    // At most 4 Mi + 8 Mi + 4 Mi units: times 100 stays within 32 bits.
    const uint32_t total = host.weight[0] + host.weight[1] + host.weight[2];
    host.end[PhaseIdentify] = host.weight[0] * 100 / total;
    host.end[PhaseCopy] = (host.weight[0] + host.weight[1]) * 100 / total;
}

}  // namespace

void ShowFileProgress(void* context, uint32_t done, uint32_t total) {
    RunHost* host = static_cast<RunHost*>(context);
    host->StillWorking();
    if (!host->planned) PlanBar(*host, total);
    // By 1 KiB, so the product stays within 32 bits without the
    // floating-point code of ScaledShare; the phase's end is reached by
    // the next phase's start.
    const uint32_t at = host->At((done >> 10) * 100 / ((total >> 10) + 1));
    if (at > host->shown) host->Show(at);
}

PatchResult FinishRun(RunHost& host, PatchRunReport* report, PatchResult result) {
    report->result = result;
    const bool failed = result == PatchResultBackupFailed || result == PatchResultWriteFailed ||
                        result == PatchResultRestoreFailed || result == PatchResultNoRoom;
    if (failed && !report->outOfMemory) report->systemError = LastFileError();
    if (host.hooks && !host.tellLater) host.hooks->Finished(*report);
    return result;
}

PatchRunReport* FreshReport(PatchRunReport* report, PatchRunReport* local) {
    PatchRunReport* r = report ? report : local;
    memset(r, 0, sizeof *r);
    return r;
}

PatchResult ApplyPatchBlock(const uint8_t* block, uint32_t size, const ByteString& targetPath,
                            PatchRunHooks* hooks, PatchRunReport* report, const TargetFacts* facts) {
    static const uint8_t kEmpty[1] = {0};
    if (!block) {
        block = kEmpty;
        size = 0;
    }
    PatchRunReport local;
    PatchRunReport* r = FreshReport(report, &local);
    r->format = IdentifyPatchFormat(block, size);
    RunHost host = StartRunHost(hooks);
    SetLastFileError(0);  // a failure of an earlier run is no reason for this one
    // An interrupted run's target is put back before anything looks at it:
    // torn, it would pass for neither the original nor the patched file.
    // The temporaries a killed run left go too.
    const PutBackResult recovered = RecoverInterruptedRun(targetPath);
    DeleteLeftoversBeside(targetPath);
    r->interruptedRunRestored = recovered == PutBackDone;
    if (recovered == PutBackFailed) return FinishRun(host, r, PatchResultRestoreFailed);
    SetLastFileError(0);  // nor the look for a journal that is not there
    if (r->format == PatchFormatBps) return BpsApplyBlock(block, size, targetPath, host, r);
    // A block of no known format takes the IPS route, which opens the
    // target and refuses the block exactly as it always has.
    return IpsApplyBlock(block, size, targetPath, host, r, facts);
}

PatchResult ApplyPatch(ByteStream* patch, const ByteString& targetPath, PatchRunHooks* hooks,
                       PatchRunReport* report, const TargetFacts* facts) {
    const uint8_t* block;
    uint32_t size;
    if (PatchBlockOf(patch, &block, &size)) SetStreamPosition(patch, static_cast<int32_t>(size));
    return ApplyPatchBlock(block, size, targetPath, hooks, report, facts);
}
