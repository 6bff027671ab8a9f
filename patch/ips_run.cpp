// The IPS route of a patch run: the records gathered in a change map and
// written into the target in place, with an undo journal beside it that
// puts it back after a failure or a kill; or, where that would move as many
// bytes as the result holds, the result built in a new file put in its
// place in one step.
#include "patch/run_host.h"

#include <stdlib.h>
#include <string.h>

#include "patch/byte_stream.h"
#include "patch/change_map.h"
#include "patch/target_writer.h"
#include "patch/undo_journal.h"
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
// failure; the journal knows what to take back.
bool WriteAllChanges(RunHost& host, const ChangeMap& changes, ByteStream* target, ByteStream* source,
                     UndoJournal* journal, TargetWriter* writer, const PatchScan& scan) {
    // 64-bit: a target of 4 GiB or more keeps its size unless a truncation
    // marker sets another.
    const uint64_t finalSize = ResultingTargetSize(scan, StreamGetSize64(source));
    if (!writer->WriteChanges(target, source, changes, finalSize, journal, ShowWriteProgress, &host) ||
        !FlushStream(target))
        return false;
    host.StillWorking();  // the flush may have taken a while
    // The cut comes last, once the data is on disk, and is flushed itself.
    return finalSize >= StreamGetSize64(target) || (TargetWriter::CutTo(target, finalSize) && FlushStream(target));
}

// After a failure the journal puts the target back. When that fails too,
// a look at the file decides: found as it was (a second pass, which writes
// nothing where the bytes are back), it is put back; found patched after
// all, the run is done; otherwise it may be damaged.
PatchResult TakeBack(UndoJournal& journal, ByteStream* target, const ChangeMap& changes, const PatchScan& scan) {
    if ((PutBack(journal.Stream(), target) == PutBackDone || PutBack(journal.Stream(), target) == PutBackDone) &&
        FlushStream(target))
        return PatchResultWriteFailed;
    return target && CheckTarget(changes, scan, target->fileHandle, nullptr) == TargetAlreadyPatched
               ? PatchResultDone
               : PatchResultRestoreFailed;
}

// A scanned and gathered block on an open target, from progress 0 on, the
// old bytes into journal; or into a new file from source, the target it
// replaces once it is whole (no journal). On failure the target is put
// back.
PatchResult RunOnTarget(RunHost& host, uint32_t blockSize, const ChangeMap& changes, ByteStream* target,
                        ByteStream* source, UndoJournal* journal, PatchRunReport* report) {
    host.Progress(0);
    ShowRecordProgress(host, changes, blockSize, RecordShare(changes));
    TargetWriter writer;
    if (WriteAllChanges(host, changes, target, source, journal, &writer, report->ips.scan)) return PatchResultDone;
    return writer.Touched() ? TakeBack(*journal, target, changes, report->ips.scan) : PatchResultWriteFailed;
}

void Succeed(RunHost& host, PatchRunReport* report) {
    host.Progress(100);
    report->elapsedMs = TickCount() - host.start;
    report->ips.recordsApplied = report->ips.scan.recordCount;
}

// In place: what puts the target back is on disk before its first byte
// changes, in the undo journal beside it, made exclusively. Then the
// records and the close: success is told only once the data has reached
// the disk and the file is closed. The journal goes once the target is whole,
// patched or as it was; one that could not be put back keeps it, for the
// next run.
PatchResult RunInPlace(RunHost& host, uint32_t blockSize, const ChangeMap& changes, ByteStream* target,
                       const ByteString& targetPath, PatchRunReport* r) {
    const ByteString journalPath = JournalPathFor(targetPath);
    ByteStream* stream = ReadWriteFileStreamOn(CreateOwnFile(journalPath));
    if (!stream || !IsValidFileHandle(stream->fileHandle)) {
        Release(stream);
        r->journalFailed = true;
        return PatchResultWriteFailed;
    }
    UndoJournal journal(stream, journalPath);
    PatchResult result = RunOnTarget(host, blockSize, changes, target, target, &journal, r);
    const bool closed = CloseStream(target);
    Release(stream);
    // A close that fails after the writes: the journal, still on disk, puts
    // the target back as the next run would (and goes, or stays when it
    // cannot).
    if (!closed && result == PatchResultDone)
        result = RecoverInterruptedRun(targetPath) == PutBackDone ? PatchResultWriteFailed : PatchResultRestoreFailed;
    if (result != PatchResultRestoreFailed) DeleteFileAtPath(journalPath);
    return result;
}

// A result can be written to a new file that takes the target's place: it
// is below 2 GiB, the target's name is its own (not a link, which the new
// file would replace rather than the file it points to), and the folder
// has the room.
bool NewFileFits(const ByteString& targetPath, uint64_t finalSize) {
    uint64_t room;
    return finalSize >> 31 == 0 && IsPlainFileOrAbsent(targetPath) && FreeSpaceBeside(targetPath, &room) &&
           room > finalSize;
}

// In place, a run reads the touched ranges, journals the old bytes under
// the records (at most the record bytes, at most the ranges), writes the
// ranges back and flushes both; a new file costs reading the target and
// writing the result once, flushed once. So the result goes to a new file
// when the writes in place would come to its size or more (make bench:
// many small records over a whole file, long runs, a rewrite; a few
// records on a large file stay in place), or when the file is cut (only
// what stays is written, and the cut bytes need no journal), where a new
// file fits.
bool TakesNewFileRoute(const ChangeMap& changes, const PatchScan& scan, uint64_t oldSize, uint64_t finalSize,
                       const ByteString& targetPath) {
    uint64_t touched = 0;
    uint32_t start, stop;
    for (uint32_t from = changes.Begin(); changes.NextRange(from, changes.End(), &start, &stop); from = stop)
        touched += stop - start;
    const uint64_t records = scan.dataBytes + scan.runBytes;
    return (finalSize < oldSize || touched + (records < touched ? records : touched) >= finalSize) &&
           NewFileFits(targetPath, finalSize);
}

// The new-file route: the result of the target's first `keep` bytes (below
// 2 GiB) written to a new file beside it, the bytes around the ranges the
// changes touch copied as they are, then the ranges read from the target
// with the records laid over them (the writer, with no journal: the target
// is only read). The new file is flushed and put in the target's place in
// one step. A failure or a kill leaves the target as it was (and a
// temporary the next run deletes).
PatchResult RunIntoNewFile(RunHost& host, uint32_t blockSize, const ChangeMap& changes, ByteStream* target,
                           const ByteString& targetPath, uint32_t keep, PatchRunReport* r) {
    r->wroteNewFile = true;
    ResultFile out;
    ByteStream* copy = ReadWriteFileStreamOn(CreateExclusiveFileBeside(targetPath, &out.path));
    uint8_t* buffer = static_cast<uint8_t*>(malloc(ChangeMap::kWindowSize));
    bool built = copy && buffer;
    for (uint32_t at = 0, start, stop; built && at < keep; at = stop) {
        // Ranges as the writer finds them, window by window (windows are
        // aligned on their size), so a gap is never more than a window.
        // Limited to keep as the writer limits them to the result's size:
        // a range found past it would join changed blocks beyond a cut and
        // skip bytes the writer never lays.
        const uint32_t edge = (at | (ChangeMap::kWindowSize - 1)) + 1, limit = edge < keep ? edge : keep;
        if (!changes.NextRange(at, limit, &start, &stop)) start = stop = limit;
        const uint32_t count = start - at;
        built = SeekStreamTo(target, at) && StreamRead(target, buffer, count) == count && SeekStreamTo(copy, at) &&
                StreamWrite(copy, buffer, count) == count;
        host.StillWorking();
    }
    free(buffer);
    built = built && RunOnTarget(host, blockSize, changes, copy, target, nullptr, r) == PatchResultDone &&
            CloseStream(copy);
    Release(copy);
    // Closed before it is replaced, which Windows refuses for an open file.
    CloseStream(target);
    out.placed = built && PutFileInPlace(out.path, targetPath, ByteString());
    return out.placed ? PatchResultDone : PatchResultWriteFailed;
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

    // 5. The records: in place with the undo journal, or into a new file
    //    put in the target's place. Either way the target is never torn.
    const uint64_t oldSize = StreamGetSize64(target);
    const uint64_t finalSize = ResultingTargetSize(r->ips.scan, oldSize);
    const bool newFile = TakesNewFileRoute(changes, r->ips.scan, oldSize, finalSize, targetPath);
    PatchResult result = newFile ? PatchResultWriteFailed : RunInPlace(host, size, changes, target, targetPath, r);
    // Where no journal can be made beside the target (its name too long
    // for the folder, something else at that name), a new file instead.
    if (newFile || (r->journalFailed && NewFileFits(targetPath, finalSize)))
        result = RunIntoNewFile(host, size, changes, target, targetPath,
                                static_cast<uint32_t>(finalSize < oldSize ? finalSize : oldSize), r);
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
    // The journal in memory: a bare stream has no folder to keep one in.
    // Room for it is taken at once (a memory stream grows by 16 KiB, which
    // for a journal of megabytes is a copy at every step): the old bytes
    // are at most the span, with a head for every stretch of them. The size
    // is set back to 1 (keeping the room), and the journal written from 0.
    ByteStream* stream = CreateMemoryStream();
    const uint32_t span = changes.End() - changes.Begin();
    StreamSetSize(stream, span + span / 8 + (64u << 10));
    StreamSetSize(stream, 1);
    SetStreamPosition(stream, 0);
    const ByteString noFolder;
    UndoJournal journal(stream, noFolder);
    const PatchResult result = RunOnTarget(host, size, changes, target, target, &journal, r);
    Release(stream);
    if (result == PatchResultDone) Succeed(host, r);
    return FinishRun(host, r, result);
}
