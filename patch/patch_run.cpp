// The format-neutral entry of a patch run: the block's format is identified
// once, here, and the run handed to that format's route.
#include "patch/patch_run.h"

#include <string.h>

#include "patch/byte_stream.h"
#include "patch/run_host.h"
#include "patch/undo_log.h"
#include "platform/file_replace.h"

bool PatchBlockOf(ByteStream* patch, const uint8_t** block, uint32_t* size) {
    *block = nullptr;
    *size = 0;
    if (!patch || patch->methods->Read != MemoryStreamTable.Read) return false;
    *block = patch->block;
    *size = patch->size;
    return true;
}

PatchResult FinishRun(RunHost& host, PatchRunReport* report, PatchResult result) {
    report->result = result;
    if (host.hooks) host.hooks->Finished(*report);
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
    RunHost host = {hooks, 0};
    // An interrupted run's target is put back before anything looks at it:
    // torn, it would pass for neither the original nor the patched file.
    // A result file a killed run left half-built goes too.
    const Recovery recovery = RecoverInterruptedRun(targetPath);
    DeleteLeftoversBeside(targetPath);
    r->interruptedRunRestored = recovery == RecoveryRestored;
    if (recovery == RecoveryFailed) return FinishRun(host, r, PatchResultRestoreFailed);
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
