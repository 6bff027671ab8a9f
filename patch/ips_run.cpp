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
    // 64-bit: a target of 4 GiB or more keeps its size unless a truncation
    // marker sets another.
    const uint64_t finalSize = ResultingTargetSize(scan, StreamGetSize64(target));
    if (!writer->WriteChanges(target, changes, finalSize, ShowWriteProgress, &host) || !FlushStream(target))
        return false;
    host.StillWorking();  // the flush may have taken a while
    // The cut comes last, once the data is on disk, and is flushed itself.
    return finalSize >= StreamGetSize64(target) || (writer->CutTo(target, finalSize) && FlushStream(target));
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

// The target check, through the run's own handle: false, with the result
// to report, when the run must stop before its backup.
bool TargetWantsPatch(RunHost& host, const ChangeMap& changes, const PatchScan& scan, FileHandle target,
                      const TargetFacts* facts, PatchResult* stop) {
    TargetVerdict verdict = CheckTarget(changes, scan, target, facts, ShowFileProgress, &host);
    *stop = verdict == TargetAlreadyPatched ? PatchResultAlreadyPatched : PatchResultDeclined;
    return verdict != TargetAlreadyPatched &&
           (verdict != TargetUnknown || (host.hooks && host.hooks->ProceedWithUnknownTarget()));
}

// The target, opened once for the whole run: the check reads through this
// handle, the backup copies from it and the writes go through it, so the
// file checked is the file written whatever happens to its name meanwhile.
// A missing target is created empty (OPEN_ALWAYS: one that appears
// meanwhile is opened, not emptied), unless a backup is asked for, which
// has nothing to copy. Null, with the result to report, when the run stops
// here: a target that cannot be opened for writing fails, unless it holds
// the patch already (a read-only file patched before); a FIFO or a device
// is refused before a byte is read or written.
ByteStream* OpenTarget(RunHost& host, const ChangeMap& changes, const PatchScan& scan, const ByteString& targetPath,
                       const TargetFacts* facts, bool backup, PatchRunReport* r, PatchResult* stop) {
    *stop = PatchResultBackupFailed;
    if (backup && !IsExistingFile(targetPath)) return nullptr;
    ByteStream* target = OpenReadWriteFileStream(targetPath);
    if (target && IsRegularFileHandle(target->fileHandle)) return target;
    r->notRegularFile = target && IsValidFileHandle(target->fileHandle);
    Release(target);
    // The open's reason is the one to tell; the look at the file below
    // fails its own way when the file is locked.
    const uint32_t why = LastFileError();
    *stop = !r->notRegularFile && scan.valid &&
                    CheckTarget(changes, scan, targetPath, facts, ShowFileProgress, &host) == TargetAlreadyPatched
                ? PatchResultAlreadyPatched
                : PatchResultWriteFailed;
    SetLastFileError(why);
    r->openFailed = *stop == PatchResultWriteFailed;
    return nullptr;
}

// A run that ends before its writes: the target closed as it was.
PatchResult StopBeforeWrites(RunHost& host, ByteStream* target, PatchRunReport* r, PatchResult result) {
    Release(target);
    return FinishRun(host, r, result);
}

}  // namespace

PatchResult IpsApplyBlock(const uint8_t* block, uint32_t size, const ByteString& targetPath, RunHost& host,
                          PatchRunReport* r, const TargetFacts* facts) {
    // 0. The whole block is scanned once, here; nothing is written, and no
    //    backup made, unless every record is complete (a refused block is
    //    reported in step 2).
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
    // 1. The one open of the target (OpenTarget). It comes before the block
    //    test, so a bad patch still opens the target, as it always has.
    PatchResult stop;
    ByteStream* target = OpenTarget(host, changes, r->ips.scan, targetPath, facts, backup, r, &stop);
    if (!target) return FinishRun(host, r, stop);

    // 2. A refused block closes the target unchanged, before any backup.
    if (!scanned) return StopBeforeWrites(host, target, r, PatchResultMalformed);

    // 3. A target that holds the patch already keeps its bytes and its
    //    earlier .bak; one the patch was not made for goes on only if the
    //    host says so.
    if (!TargetWantsPatch(host, changes, r->ips.scan, target->fileHandle, facts, &stop))
        return StopBeforeWrites(host, target, r, stop);

    // 4. Backup before anything touches the target: patching without the
    //    copy the user asked for would leave them without their original.
    host.phase = PhaseCopy;
    if (backup) {
        if (!MakeBackupCopy(target->fileHandle, BackupPathFor(targetPath), ShowFileProgress, &host))
            return StopBeforeWrites(host, target, r, PatchResultBackupFailed);
        r->backupMade = true;
    }
    host.phase = PhaseWrite;

    // 5. The records, then the close: success is told only once the data
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
    SetLastFileError(0);
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
