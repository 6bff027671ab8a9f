// The IPS route of a patch run: the records gathered in a change map and
// written into the target in place, taken back on failure.
#include "patch/run_host.h"

#include <stdlib.h>
#include <string.h>

#include "patch/byte_stream.h"
#include "patch/change_map.h"
#include "patch/target_writer.h"
#include "patch/undo_log.h"
#include "platform/clock.h"
#include "platform/file_handle.h"
#include "platform/file_replace.h"
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
                     const PatchScan& scan, FileHandle journal, const ByteString& journalPath) {
    const uint32_t finalSize = ResultingTargetSize(scan, StreamGetSize(target));
    if (!writer->WriteChanges(target, changes, finalSize, journal, journalPath, ShowWriteProgress, &host) ||
        !FlushStream(target))
        return false;
    // The cut comes last, once the data is on disk, and is flushed itself.
    return finalSize >= StreamGetSize(target) || (writer->CutTo(target, finalSize) && FlushStream(target));
}

// After a failure the target is put back; when that fails too, a check
// of the file says what it holds: "may be damaged" only when it is neither
// as it was nor fully patched.
PatchResult TakeBack(TargetWriter* writer, ByteStream* target, const PatchScan& scan) {
    if (writer->Restore(target) && FlushStream(target)) return PatchResultWriteFailed;
    if (writer->TargetAsItWas(target)) return PatchResultWriteFailed;
    return writer->TargetPatched(target, scan) ? PatchResultDone : PatchResultRestoreFailed;
}

// A scanned and gathered block on an open target, from progress 0 on, its
// undo log in `journal` (in memory when invalid). On failure the target is
// put back.
PatchResult RunOnTarget(RunHost& host, uint32_t blockSize, const ChangeMap& changes, ByteStream* target,
                        FileHandle journal, const ByteString& journalPath, TargetWriter* writer,
                        PatchRunReport* report, uint32_t* start) {
    host.Progress(0);
    *start = TickCount();
    ShowRecordProgress(host, changes, blockSize, RecordShare(changes));
    if (WriteAllChanges(host, changes, target, writer, report->ips.scan, journal, journalPath))
        return PatchResultDone;
    return TakeBack(writer, target, report->ips.scan);
}

void Succeed(RunHost& host, PatchRunReport* report, uint32_t start) {
    host.Progress(100);
    report->elapsedMs = TickCount() - start;
    report->ips.recordsApplied = report->ips.scan.recordCount;
}

// The close of a file the run wrote can still fail (a write the cache could
// not complete). The target is opened again: found fully patched, the run
// is done; otherwise it is put back.
PatchResult CheckAfterFailedClose(const ByteString& targetPath, TargetWriter* writer, const PatchScan& scan) {
    ByteStream* again = OpenReadWriteFileStream(targetPath);
    PatchResult result = PatchResultRestoreFailed;
    if (again && IsValidFileHandle(again->fileHandle))
        result = writer->TargetPatched(again, scan) ? PatchResultDone : TakeBack(writer, again, scan);
    if (!CloseStream(again) && result == PatchResultWriteFailed) result = PatchResultRestoreFailed;
    Release(again);
    return result;
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
bool TargetWantsPatch(const RunHost& host, const ChangeMap& changes, const PatchScan& scan,
                      const ByteString& targetPath, const TargetFacts* facts, PatchResult* stop) {
    if (!scan.valid) return true;
    TargetVerdict verdict = CheckTarget(changes, scan, targetPath, facts);
    *stop = verdict == TargetAlreadyPatched ? PatchResultAlreadyPatched : PatchResultDeclined;
    return verdict != TargetAlreadyPatched &&
           (verdict != TargetUnknown || (host.hooks && host.hooks->ProceedWithUnknownTarget()));
}

// The in-place route. What puts the target back is on disk before its
// first byte changes: the undo journal beside it, made exclusively. Then
// the records and the close: success is told only once the data has
// reached the disk and the file is closed. The journal goes once the
// target is whole again, patched or as it was; a target that could not be
// put back keeps it, for the next run.
PatchResult RunInPlace(RunHost& host, uint32_t blockSize, const ChangeMap& changes, ByteStream* target,
                       const ByteString& targetPath, PatchRunReport* r, uint32_t* start) {
    FileHandle journal = CreateJournal(targetPath);
    if (!IsValidFileHandle(journal)) {
        r->journalFailed = true;
        return PatchResultWriteFailed;
    }
    TargetWriter writer;
    const ByteString journalPath = JournalPathFor(targetPath);
    PatchResult result = RunOnTarget(host, blockSize, changes, target, journal, journalPath, &writer, r, start);
    if (!CloseStream(target) && result != PatchResultRestoreFailed)
        result = CheckAfterFailedClose(targetPath, &writer, r->ips.scan);
    if (result == PatchResultRestoreFailed)
        writer.KeepJournal();
    else
        writer.DiscardJournal(journalPath);
    return result;
}

// --- the new-file route --------------------------------------------------------

// The temporary the result is built in: deleted when the run leaves unless
// it has been put in the target's place.
struct NewFile {
    FileHandle handle = InvalidFileHandle();
    ByteString path;
    bool placed = false;
    ~NewFile() {
        CloseFileHandle(handle);
        if (!placed && !path.Empty()) DeleteFileAtPath(path);
    }
};

// What the in-place route moves beyond its reads: the touched ranges
// written back, and the old bytes under the records (at most: a byte
// written twice counts twice) written to the journal first.
uint64_t InPlaceBytes(const ChangeMap& map, uint32_t oldSize) {
    uint64_t total = 0;
    for (uint32_t w = 0; w < map.WindowCount() && map.WindowBegin(w) < oldSize; ++w) {
        const uint32_t end = map.WindowEnd(w) < oldSize ? map.WindowEnd(w) : oldSize;
        const uint64_t bytes = map.WindowRecordBytes(w);
        total += bytes < end - map.WindowBegin(w) ? bytes : end - map.WindowBegin(w);
    }
    uint32_t start, stop;
    for (uint32_t from = map.Begin(); map.NextRange(from, oldSize, &start, &stop); from = stop) total += stop - start;
    return total;
}

// In place, a run reads the touched ranges twice (for its journal, then to
// lay the records over them), writes the journal and the ranges, and
// flushes both; a new file costs reading the target and writing the result
// once, and one flush. So a new file is chosen when the writes in place
// would come to the result's size or more (make bench: on 16 MiB, 200,000
// small records touch every range and go 1.3 times faster as a new file;
// 50 records on 256 MiB stay in place), and the folder has the room.
bool TakesNewFileRoute(const ChangeMap& map, uint32_t oldSize, const ByteString& targetPath, const PatchScan& scan) {
    const uint32_t finalSize = ResultingTargetSize(scan, oldSize);
    uint64_t room;
    return oldSize > 0 && InPlaceBytes(map, oldSize) >= (finalSize > oldSize ? finalSize : oldSize) &&
           FreeSpaceBeside(targetPath, &room) && room > finalSize;
}

// The result chunk by chunk (1 MiB, on the map's window edges): the
// target's bytes, zeros past its old end, and the window's records laid
// over them. Reserved at its size first, so a full disk fails at once.
bool BuildNewFile(RunHost& host, const ChangeMap& changes, ByteStream* target, uint32_t finalSize, FileHandle out,
                  uint8_t* chunk) {
    const uint32_t oldSize = StreamGetSize(target);
    if (!SeekFileHandleTo(out, finalSize) || !SetEndOfFileHandle(out) || !SeekFileHandleTo(out, 0) ||
        SetStreamPosition(target, 0) != 0)
        return false;
    uint32_t w = 0;
    for (uint32_t at = 0; at < finalSize; at += ChangeMap::kWindowSize) {
        const uint32_t count = finalSize - at < ChangeMap::kWindowSize ? finalSize - at : ChangeMap::kWindowSize;
        const uint32_t held = at >= oldSize ? 0 : oldSize - at < count ? oldSize - at : count;
        if (held && StreamRead(target, chunk, held) != held) return false;
        memset(chunk + held, 0, count - held);
        for (; w < changes.WindowCount() && changes.WindowBegin(w) < at + count; ++w)
            if (!changes.ApplyWindow(w, chunk + (changes.WindowBegin(w) - at))) return false;
        if (WriteFileHandle(out, chunk, count) != count) return false;
        ShowWriteProgress(&host, at + count, finalSize);
    }
    return FlushFileHandle(out);
}

// The new-file route: the result built beside the target, flushed, and
// put in its place in one step; until then the target is only read, and a
// failure or a kill leaves it as it was (and a temporary the next run
// deletes).
PatchResult RunIntoNewFile(RunHost& host, uint32_t blockSize, const ChangeMap& changes, ByteStream* target,
                           const ByteString& targetPath, PatchRunReport* r, uint32_t* start) {
    host.Progress(0);
    *start = TickCount();
    ShowRecordProgress(host, changes, blockSize, RecordShare(changes));
    r->wroteNewFile = true;
    const uint32_t finalSize = ResultingTargetSize(r->ips.scan, StreamGetSize(target));
    NewFile out;
    out.handle = CreateExclusiveFileBeside(targetPath, &out.path);
    uint8_t* chunk = static_cast<uint8_t*>(malloc(ChangeMap::kWindowSize));
    const bool built = IsValidFileHandle(out.handle) && chunk && BuildNewFile(host, changes, target, finalSize,
                                                                               out.handle, chunk);
    free(chunk);
    const bool closed = CloseFileHandle(out.handle);
    out.handle = InvalidFileHandle();
    // The target was only read; it is closed before it is replaced, which
    // Windows refuses for an open file.
    CloseStream(target);
    if (!built || !closed) return PatchResultWriteFailed;
    out.placed = PutFileInPlace(out.path, targetPath, ByteString());
    return out.placed ? PatchResultDone : PatchResultWriteFailed;
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
    PatchResult stop;
    if (!TargetWantsPatch(host, changes, r->ips.scan, targetPath, facts, &stop)) return FinishRun(host, r, stop);

    // 1. Backup before anything touches the target: patching without the
    //    copy the user asked for would leave them without their original.
    if (host.WantsBackup()) {
        if (!MakeBackupCopy(targetPath, BackupPathFor(targetPath)))
            return FinishRun(host, r, PatchResultBackupFailed);
        r->backupMade = true;
    }

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

    // 4. Where most of the file is rewritten, the result goes to a new file
    //    put in its place; otherwise the changes are written in place.
    //    Either way the target is never torn.
    uint32_t start = 0;
    const PatchResult result = TakesNewFileRoute(changes, StreamGetSize(target), targetPath, r->ips.scan)
                                   ? RunIntoNewFile(host, size, changes, target, targetPath, r, &start)
                                   : RunInPlace(host, size, changes, target, targetPath, r, &start);
    Release(target);
    if (result == PatchResultDone) Succeed(host, r, start);
    return FinishRun(host, r, result);
}

PatchResult ApplyPatchToStream(ByteStream* patch, ByteStream* target, PatchRunHooks* hooks,
                               PatchRunReport* report) {
    PatchRunReport local;
    PatchRunReport* r = FreshReport(report, &local);
    r->format = PatchFormatIps;
    RunHost host = {hooks, 0};
    const uint8_t* block;
    uint32_t size;
    if (!ScanBlock(patch, host, r, &block, &size)) return FinishRun(host, r, PatchResultMalformed);
    ChangeMap changes;
    if (!GatherChanges(host, block, r, &changes)) return FinishRun(host, r, PatchResultWriteFailed);
    TargetWriter writer;
    uint32_t start;
    const PatchResult result = RunOnTarget(host, size, changes, target, InvalidFileHandle(), ByteString(), &writer, r,
                                           &start);
    if (result == PatchResultDone) Succeed(host, r, start);
    return FinishRun(host, r, result);
}
