// The IPS route of a patch run: the records gathered in a change map and
// written into the target in place, taken back on failure.
#include "patch/run_host.h"

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

void Pulse(void* context) { static_cast<RunHost*>(context)->StillWorking(); }

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
void ShowRecordProgress(RunHost& host, const ChangeMap& changes, uint32_t blockSize, uint32_t share) {
    for (uint32_t i = 0; i < changes.MarkCount(); ++i) host.Progress(ScaledShare(changes.MarkAt(i), blockSize, share));
}

// A large write phase moves the bar through its half as the windows go out,
// short of 100, which is kept for the end.
void ShowWriteProgress(void* context, uint32_t done, uint32_t total) {
    RunHost* host = static_cast<RunHost*>(context);
    host->StillWorking();
    if (total >= kWriteProgressFrom) host->Progress(50 + ScaledShare(done, total, 49));
}

// Brings the target to its size and writes the gathered changes, hands
// them to the disk, then cuts a shrinking target. False at the first
// failure; the writer knows what to take back.
bool WriteAllChanges(RunHost& host, const ChangeMap& changes, ByteStream* target, TargetWriter* writer,
                     const PatchScan& scan) {
    const uint32_t finalSize = ResultingTargetSize(scan, StreamGetSize(target));
    if (!writer->WriteChanges(target, changes, finalSize, ShowWriteProgress, &host) || !FlushStream(target))
        return false;
    host.StillWorking();  // the flush may have taken a while
    // The cut comes last, once the data is on disk, and is flushed itself.
    return finalSize >= StreamGetSize(target) || (writer->CutTo(target, finalSize) && FlushStream(target));
}

// A scanned and gathered block on an open target, from progress 0 on. On
// failure the target is put back.
PatchResult RunOnTarget(RunHost& host, uint32_t blockSize, const ChangeMap& changes,
                        ByteStream* target, TargetWriter* writer, PatchRunReport* report) {
    host.Progress(0);
    ShowRecordProgress(host, changes, blockSize, RecordShare(changes));
    if (WriteAllChanges(host, changes, target, writer, report->ips.scan)) return PatchResultDone;
    return writer->Restore(target) && FlushStream(target) ? PatchResultWriteFailed
                                                          : PatchResultRestoreFailed;
}

void Succeed(RunHost& host, PatchRunReport* report) {
    host.Progress(100);
    report->elapsedMs = TickCount() - host.start;
    report->ips.recordsApplied = report->ips.scan.recordCount;
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

// The patch block of a memory stream, scanned whole; the stream is left at
// its end. False when it is no memory stream or the block is refused.
bool ScanBlock(ByteStream* patch, RunHost& host, PatchRunReport* r, const uint8_t** block, uint32_t* size) {
    if (!PatchBlockOf(patch, block, size) || !ScanPatch(*block, *size, &r->ips.scan, Pulse, &host)) return false;
    SetStreamPosition(patch, static_cast<int32_t>(*size));
    return true;
}

// The bytes the records leave, later over earlier as on disk: gathered once
// for the target check and the writes. False (out of memory) when the heap
// refuses the map.
bool GatherChanges(RunHost& host, const uint8_t* block, PatchRunReport* r, ChangeMap* changes) {
    if (changes->Gather(block, r->ips.scan, Pulse, &host, kProgressEvery)) return true;
    r->outOfMemory = true;
    return false;
}

// The target check: false, with the result to report, when the run must
// stop before its backup. A block that does not scan is left to step 3.
bool TargetWantsPatch(RunHost& host, const ChangeMap& changes, const PatchScan& scan,
                      const ByteString& targetPath, const TargetFacts* facts, PatchResult* stop) {
    if (!scan.valid) return true;
    TargetVerdict verdict = CheckTarget(changes, scan, targetPath, facts, ShowFileProgress, &host);
    *stop = verdict == TargetAlreadyPatched ? PatchResultAlreadyPatched : PatchResultDeclined;
    return verdict != TargetAlreadyPatched &&
           (verdict != TargetUnknown || (host.hooks && host.hooks->ProceedWithUnknownTarget()));
}

}  // namespace

PatchResult IpsApplyBlock(const uint8_t* block, uint32_t size, const ByteString& targetPath, RunHost& host,
                          PatchRunReport* r, const TargetFacts* facts) {
    // 0. The whole block is scanned once, here; nothing is written unless
    //    every record is complete (a refused block is reported in step 3).
    //    A target that holds the patch already keeps its bytes and its
    //    earlier .bak; one the patch was not made for goes on only if the
    //    host says so.
    const bool scanned = ScanPatch(block, size, &r->ips.scan, Pulse, &host);
    ChangeMap changes;
    if (scanned && !GatherChanges(host, block, r, &changes)) return FinishRun(host, r, PatchResultWriteFailed);
    // The backup box is read before the target is, so the bar can be shared
    // out; a block that does not scan leaves the bar alone.
    const bool backup = host.WantsBackup();
    host.phase = PhaseIdentify;
    host.weight[PhaseIdentify] = scanned && facts;  // times the target's size, once known
    host.weight[PhaseCopy] = scanned && backup;
    host.weight[PhaseWrite] = ((changes.End() - changes.Begin()) >> 10) + 1;
    PatchResult stop;
    if (!TargetWantsPatch(host, changes, r->ips.scan, targetPath, facts, &stop)) return FinishRun(host, r, stop);

    // 1. Backup before anything touches the target: patching without the
    //    copy the user asked for would leave them without their original.
    host.phase = PhaseCopy;
    if (backup) {
        if (!MakeBackupCopy(targetPath, BackupPathFor(targetPath), ShowFileProgress, &host))
            return FinishRun(host, r, PatchResultBackupFailed);
        r->backupMade = true;
    }
    host.phase = PhaseWrite;

    // 2. Open the target (a missing file is created empty). Opening comes
    //    before the block test, so a bad patch still opens the target; it
    //    is then closed with its bytes unchanged.
    ByteStream* target = OpenReadWriteFileStream(targetPath);
    if (!target || !IsValidFileHandle(target->fileHandle)) {
        Release(target);
        r->openFailed = true;
        return FinishRun(host, r, PatchResultWriteFailed);
    }

    // 3. A refused block closes the target unchanged.
    if (!scanned) {
        Release(target);
        return FinishRun(host, r, PatchResultMalformed);
    }

    // 4. The records, then the close: success is told only once the data
    //    has reached the disk and the file is closed.
    TargetWriter writer;
    PatchResult result = RunOnTarget(host, size, changes, target, &writer, r);
    if (!CloseStream(target) && result == PatchResultDone)
        result = RestoreAfterFailedClose(targetPath, &writer);
    Release(target);
    if (result == PatchResultDone) Succeed(host, r);
    return FinishRun(host, r, result);
}

PatchResult ApplyPatchToStream(ByteStream* patch, ByteStream* target, PatchRunHooks* hooks,
                               PatchRunReport* report) {
    PatchRunReport local;
    PatchRunReport* r = FreshReport(report, &local);
    r->format = PatchFormatIps;
    RunHost host = StartRunHost(hooks);
    const uint8_t* block;
    uint32_t size;
    if (!ScanBlock(patch, host, r, &block, &size)) return FinishRun(host, r, PatchResultMalformed);
    ChangeMap changes;
    if (!GatherChanges(host, block, r, &changes)) return FinishRun(host, r, PatchResultWriteFailed);
    TargetWriter writer;
    const PatchResult result = RunOnTarget(host, size, changes, target, &writer, r);
    if (result == PatchResultDone) Succeed(host, r);
    return FinishRun(host, r, result);
}
