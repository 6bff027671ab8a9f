#include "patch/patch_run.h"

#include <string.h>

#include "patch/byte_stream.h"
#include "patch/change_map.h"
#include "patch/target_writer.h"
#include "platform/clock.h"
#include "platform/file_handle.h"
#include "patch/target_check.h"

namespace {

const uint32_t kProgressEvery = 5000;  // data records between progress updates
// Write phases smaller than this are over before a bar could show them.
const uint32_t kWriteProgressFrom = 4 * 1024 * 1024;

// The hooks a run was given, any of which may be absent; progress never
// goes backwards.
struct Host {
    PatchRunHooks* hooks;
    uint32_t shown;  // last position given to Progress

    bool WantsBackup() const { return hooks && hooks->WantsBackup(); }
    void Progress(uint32_t percent) {
        if (percent < shown) percent = shown;
        shown = percent;
        if (hooks) hooks->Progress(percent);
    }
    void StillWorking() const {
        if (hooks) hooks->StillWorking();
    }
};

// floor(part * scale / whole) for part <= whole and scale <= 100, in double
// rather than 64-bit integers: i686 has no 64-by-32-bit division, and the
// runtime's helper for it costs the downloaded program about 600 bytes. The
// product (below 2^39) and whole are exact doubles; a quotient (at most 100)
// that is not a whole number lies at least 1/whole >= 2^-32 below the next
// one, far more than the quotient's rounding error (below 2^-46), so
// truncating it gives the exact floor.
uint32_t ScaledShare(uint32_t part, uint32_t whole, uint32_t scale) {
    return static_cast<uint32_t>(static_cast<double>(part) * scale / whole);
}

void Pulse(void* context) { static_cast<Host*>(context)->StillWorking(); }

PatchResult Finish(Host& host, PatchRunReport* report, PatchResult result) {
    report->result = result;
    const bool failed = result == PatchResultBackupFailed || result == PatchResultWriteFailed ||
                        result == PatchResultRestoreFailed;
    if (failed && !report->outOfMemory) report->systemError = LastFileError();
    if (host.hooks) host.hooks->Finished(*report);
    return result;
}

// The patch bytes: a memory stream's own block.
bool PatchBlock(ByteStream* patch, const uint8_t** block, uint32_t* size) {
    *block = nullptr;
    *size = 0;
    if (!patch || patch->methods->Read != MemoryStreamTable.Read) return false;
    *block = patch->block;
    *size = patch->size;
    return true;
}

// A write phase this large takes the second half of the bar; a smaller one
// is over before a bar could show it, and the records take the whole bar.
uint32_t RecordShare(const ChangeMap& changes) {
    return changes.End() - changes.Begin() >= kWriteProgressFrom ? 50 : 100;
}

// The record pass's progress: every 5,000 data records, the position in
// the block as a share of the records' part of the bar (position * 100
// passes 32 bits above 42 MiB: see ScaledShare). The records are gathered
// before the target check, ahead of progress 0; the positions noted then
// are shown once the run starts.
void ShowRecordProgress(Host& host, const ChangeMap& changes, uint32_t blockSize, uint32_t share) {
    for (uint32_t i = 0; i < changes.MarkCount(); ++i) host.Progress(ScaledShare(changes.MarkAt(i), blockSize, share));
}

// A large write phase moves the bar through its half as the windows go out,
// short of 100, which is kept for the end.
void ShowWriteProgress(void* context, uint32_t done, uint32_t total) {
    Host* host = static_cast<Host*>(context);
    host->StillWorking();
    if (total >= kWriteProgressFrom) host->Progress(50 + ScaledShare(done, total, 49));
}

// Brings the target to its size and writes the gathered changes, hands
// them to the disk, then cuts a shrinking target. False at the first
// failure; the writer knows what to take back.
bool WriteAllChanges(Host& host, const ChangeMap& changes, ByteStream* target, TargetWriter* writer,
                     const PatchScan& scan) {
    const uint32_t finalSize = ResultingTargetSize(scan, StreamGetSize(target));
    if (!writer->WriteChanges(target, changes, finalSize, ShowWriteProgress, &host) || !FlushStream(target))
        return false;
    // The cut comes last, once the data is on disk, and is flushed itself.
    return finalSize >= StreamGetSize(target) || (writer->CutTo(target, finalSize) && FlushStream(target));
}

// A scanned and gathered block on an open target, from progress 0 on. On
// failure the target is put back.
PatchResult RunOnTarget(Host& host, uint32_t blockSize, const ChangeMap& changes,
                        ByteStream* target, TargetWriter* writer, PatchRunReport* report, uint32_t* start) {
    host.Progress(0);
    *start = TickCount();
    ShowRecordProgress(host, changes, blockSize, RecordShare(changes));
    if (WriteAllChanges(host, changes, target, writer, report->scan)) return PatchResultDone;
    return writer->Restore(target) && FlushStream(target) ? PatchResultWriteFailed
                                                          : PatchResultRestoreFailed;
}

void Succeed(Host& host, PatchRunReport* report, uint32_t start) {
    host.Progress(100);
    report->elapsedMs = TickCount() - start;
    report->recordsApplied = report->scan.recordCount;
}

// The close of a file the run wrote can still fail (a write the cache could
// not complete). The target is opened again to put it back.
PatchResult RestoreAfterFailedClose(const ByteString& targetPath, TargetWriter* writer) {
    ByteStream* again = OpenReadWriteFileStream(targetPath);
    const bool restored = again && IsValidFileHandle(again->fileHandle) && writer->Restore(again) &&
                          FlushStream(again) && CloseStream(again);
    Release(again);
    return restored ? PatchResultWriteFailed : PatchResultRestoreFailed;
}

// A run's report, zeroed: the caller's, or the local one when it gave none.
PatchRunReport* FreshReport(PatchRunReport* report, PatchRunReport* local) {
    PatchRunReport* r = report ? report : local;
    memset(r, 0, sizeof *r);
    return r;
}

// The patch block of a memory stream, scanned whole; the stream is left at
// its end. False when it is no memory stream or the block is refused.
bool ScanBlock(ByteStream* patch, Host& host, PatchRunReport* r, const uint8_t** block, uint32_t* size) {
    if (!PatchBlock(patch, block, size) || !ScanPatch(*block, *size, &r->scan, Pulse, &host)) return false;
    SetStreamPosition(patch, static_cast<int32_t>(*size));
    return true;
}

// The bytes the records leave, later over earlier as on disk: gathered once
// for the target check and the writes. False (out of memory) when the heap
// refuses the map.
bool GatherChanges(Host& host, const uint8_t* block, PatchRunReport* r, ChangeMap* changes) {
    if (changes->Gather(block, r->scan, Pulse, &host, kProgressEvery)) return true;
    r->outOfMemory = true;
    return false;
}

// The target check: false, with the result to report, when the run must
// stop before its backup. A block that does not scan is left to step 3.
bool TargetWantsPatch(const Host& host, const ChangeMap& changes, const PatchScan& scan,
                      const ByteString& targetPath, const TargetFacts* facts, PatchResult* stop) {
    if (!scan.valid) return true;
    TargetVerdict verdict = CheckTarget(changes, scan, targetPath, facts);
    *stop = verdict == TargetAlreadyPatched ? PatchResultAlreadyPatched : PatchResultDeclined;
    return verdict != TargetAlreadyPatched &&
           (verdict != TargetUnknown || (host.hooks && host.hooks->ProceedWithUnknownTarget()));
}

// ApplyPatch on the bytes of a patch block (null: no block to scan).
PatchResult RunBlock(const uint8_t* block, uint32_t size, const ByteString& targetPath, PatchRunHooks* hooks,
                     PatchRunReport* report, const TargetFacts* facts) {
    PatchRunReport local;
    PatchRunReport* r = FreshReport(report, &local);
    Host host = {hooks, 0};
    SetLastFileError(0);  // a failure of an earlier run is no reason for this one

    // 0. The whole block is scanned once, here; nothing is written unless
    //    every record is complete (a refused block is reported in step 3).
    //    A target that holds the patch already keeps its bytes and its
    //    earlier .bak; one the patch was not made for goes on only if the
    //    host says so.
    const bool scanned = block && ScanPatch(block, size, &r->scan, Pulse, &host);
    ChangeMap changes;
    if (scanned && !GatherChanges(host, block, r, &changes)) return Finish(host, r, PatchResultWriteFailed);
    PatchResult stop;
    if (!TargetWantsPatch(host, changes, r->scan, targetPath, facts, &stop)) return Finish(host, r, stop);

    // 1. Backup before anything touches the target: patching without the
    //    copy the user asked for would leave them without their original.
    if (host.WantsBackup()) {
        if (!MakeBackupCopy(targetPath, BackupPathFor(targetPath)))
            return Finish(host, r, PatchResultBackupFailed);
        r->backupMade = true;
    }

    // 2. Open the target (a missing file is created empty). Opening comes
    //    before the block test, so a bad patch still opens the target; it
    //    is then closed with its bytes unchanged.
    ByteStream* target = OpenReadWriteFileStream(targetPath);
    if (!target || !IsValidFileHandle(target->fileHandle)) {
        Release(target);
        r->openFailed = true;
        return Finish(host, r, PatchResultWriteFailed);
    }

    // 3. A refused block closes the target unchanged.
    if (!scanned) {
        Release(target);
        return Finish(host, r, PatchResultMalformed);
    }

    // 4. The records, then the close: success is told only once the data
    //    has reached the disk and the file is closed.
    TargetWriter writer;
    uint32_t start;
    PatchResult result = RunOnTarget(host, size, changes, target, &writer, r, &start);
    if (!CloseStream(target) && result == PatchResultDone)
        result = RestoreAfterFailedClose(targetPath, &writer);
    Release(target);
    if (result == PatchResultDone) Succeed(host, r, start);
    return Finish(host, r, result);
}

}  // namespace

PatchResult ApplyPatch(ByteStream* patch, const ByteString& targetPath, PatchRunHooks* hooks,
                       PatchRunReport* report, const TargetFacts* facts) {
    const uint8_t* block;
    uint32_t size;
    if (PatchBlock(patch, &block, &size)) SetStreamPosition(patch, static_cast<int32_t>(size));
    return RunBlock(block, size, targetPath, hooks, report, facts);
}

PatchResult ApplyPatchBlock(const uint8_t* block, uint32_t size, const ByteString& targetPath,
                            PatchRunHooks* hooks, PatchRunReport* report, const TargetFacts* facts) {
    static const uint8_t kEmpty[1] = {0};
    return RunBlock(block ? block : kEmpty, block ? size : 0, targetPath, hooks, report, facts);
}

PatchResult ApplyPatchToStream(ByteStream* patch, ByteStream* target, PatchRunHooks* hooks,
                               PatchRunReport* report) {
    PatchRunReport local;
    PatchRunReport* r = FreshReport(report, &local);
    Host host = {hooks, 0};
    SetLastFileError(0);
    const uint8_t* block;
    uint32_t size;
    if (!ScanBlock(patch, host, r, &block, &size)) return Finish(host, r, PatchResultMalformed);
    ChangeMap changes;
    if (!GatherChanges(host, block, r, &changes)) return Finish(host, r, PatchResultWriteFailed);
    TargetWriter writer;
    uint32_t start;
    const PatchResult result = RunOnTarget(host, size, changes, target, &writer, r, &start);
    if (result == PatchResultDone) Succeed(host, r, start);
    return Finish(host, r, result);
}
