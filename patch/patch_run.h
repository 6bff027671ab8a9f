// One patch run: a patch block applied to a target file. The entry here
// identifies the block's format (patch/patch_format.h) and hands the run to
// that format's route (IPS: patch/ips_run.cpp, in place; BPS:
// patch/bps_run.cpp, built beside the target and put in its place; every
// format has the same entry shape); the hooks and the report are the same
// for all.
//
// The run reports, it does not speak: it returns a result and a report, and
// meets whoever hosts it (the program's window, the publisher tool's
// console) only through PatchRunHooks: the backup flag, progress, and the
// finished report. Putting a result into words is the host's business.
#pragma once
#include <stdint.h>

#include "base/byte_string.h"
#include "patch/backup_copy.h"
#include "patch/bps_patch.h"
#include "patch/ips_patch.h"
#include "patch/patch_format.h"

class ByteStream;
struct TargetFacts;

enum PatchResult : uint8_t {
    PatchResultDone = 0,
    PatchResultMalformed,     // not a patch or malformed: target unchanged
    PatchResultBackupFailed,  // backup asked for and not made: target untouched
    // The target could not be opened, or a write, resize, flush or close
    // failed: the target was put back byte for byte as it was.
    PatchResultWriteFailed,
    // A write failed and putting the target back failed too, and the file
    // is neither as it was nor patched: it may be damaged (the backup, when
    // one was made, holds the original; the undo journal is kept, and the
    // next run on the file puts it back). Also: an interrupted run's journal
    // found before this run could not put the target back.
    PatchResultRestoreFailed,
    PatchResultAlreadyPatched,  // the target holds the patch already: nothing written, no backup
    PatchResultDeclined,        // not the file the patch was made for, and the host said no
    // BPS: the target is neither the patch's source nor its result (its
    // size and CRC-32 are in the report); nothing written, nothing asked.
    PatchResultWrongSource,
    // BPS: the target's folder has less room than the result needs (both in
    // the report); nothing written.
    PatchResultNoRoom,
    // A patcher with variants: the file is a variant's source without its
    // copier header, and the patch writes into that header (or is a BPS
    // patch, which makes the whole file, header and all); nothing written.
    PatchResultHeaderRefused,
    // A patcher with variants: after the run the file is not the variant's
    // result (size or CRC-32); the run's writes stay, the backup (when
    // made) holds the file as it was.
    PatchResultWrongResult
};

// How a file stands to a variant's source or result: as the patch was
// made, with a copier header added in front, or without the header the
// variant's file has.
enum HeaderState : uint8_t { HeaderAsMade = 0, HeaderAdded, HeaderMissing };

// What a patcher with variants found (all 0 for one without).
struct VariantRunDetails {
    uint8_t count;        // variants the patcher carries
    bool matched;         // the file is a variant's source or result
    uint8_t chosen;       // which (when matched)
    uint8_t header;       // HeaderState of the file against it
    uint32_t foundSize;   // the file as identified
    uint32_t foundCrc;
};

// What an IPS run learnt about its block.
struct IpsRunDetails {
    PatchScan scan;
    uint32_t recordsApplied;  // every record on success, 0 otherwise: a run is all or nothing
};

// What a BPS run learnt about its block and its target.
struct BpsRunDetails {
    BpsScan scan;          // the header, the action counts, or the block's problem
    uint64_t foundSize;    // the target as the run found it (once it was read)
    uint32_t foundCrc;
    uint64_t roomNeeded;   // PatchResultNoRoom: the result's size
    uint64_t roomFree;     // and what the folder had
    // The result came out with a CRC-32 other than the patch's: the target
    // changed while it was read, or the disk returned other bytes.
    bool resultCrcWrong;
};

// What a run did, for its host to put into words: the facts every format
// has, then each format's own (only the member of `format` is filled in).
struct PatchRunReport {
    PatchResult result;
    PatchFormat format;       // as identified from the block's first bytes
    uint32_t elapsedMs;       // PatchResultDone only
    bool backupMade;          // target + ".bak" holds the target as it was before the run
    bool outOfMemory;         // the changes could not be gathered: nothing was written
    bool openFailed;          // the target could not be opened for writing
    // The system's error code (LastFileError) of the call that made a run
    // fail with BackupFailed, WriteFailed or RestoreFailed; 0 otherwise or
    // when no system call failed (out of memory, a folder named like the .bak).
    uint32_t systemError;
    bool notRegularFile;      // with openFailed: a FIFO, a device, not a disk file; nothing read or written
    // The undo journal could not be made beside the target (a read-only
    // folder, or something else at its name): nothing was written.
    bool journalFailed;
    // An earlier run on this target was interrupted (killed, or the machine
    // stopped); its journal put the target back before this run began.
    bool interruptedRunRestored;
    // IPS: the result was written to a new file beside the target and put
    // in its place (the run rewrote most of the file, or cut it, or no
    // journal could be made beside it).
    bool wroteNewFile;
    IpsRunDetails ips;
    BpsRunDetails bps;
    VariantRunDetails variant;
};

// The places where a run meets its host. The run never owns its hooks.
class PatchRunHooks {
public:
    // Asked once, before the target is read for its check (the answer
    // shares out the bar): copy the target to target + ".bak" before
    // anything is written. Not acted on when the check stops the run.
    virtual bool WantsBackup() = 0;
    // Asked before the backup when the patcher's verification data says the
    // target is neither the original nor the patched result; true patches
    // it anyway.
    virtual bool ProceedWithUnknownTarget() { return false; }
    // Positions of the bar, never backwards. Identification (when the
    // patcher carries the target's size and CRC-32) and the backup copy take
    // the first part of it in proportion to the bytes they move, the
    // records and writes the rest, 100 when they are all written. A run
    // with neither starts at 0 when the records start.
    virtual void Progress(uint32_t percent) = 0;
    // Called every few milliseconds of work while a run is long (while
    // the target is read for its check, copied, and written): the program
    // keeps its window alive here.
    virtual void StillWorking() {}
    // Exactly once per run, with the report ApplyPatch also returns.
    virtual void Finished(const PatchRunReport& report) = 0;

protected:
    ~PatchRunHooks() = default;
};

// One patch run of the block in `patch` (a memory stream) on targetPath:
// identify the format, check the target, back it up, apply, report. A block
// of no known format goes the IPS way, which refuses it as it always has.
// BPS (patch/bps_run.cpp): the whole block checked, the target's size and
// CRC-32 compared with the patch's source and result, room checked, the
// result built in a temporary file beside the target, its CRC-32 checked,
// flushed, and put in the target's place in one step (the original becoming
// the .bak when a backup is asked for); facts are not used, the patch
// carries its own.
// IPS (patch/ips_run.cpp): target check (patch/target_check.h; facts may be
// null), backup, open the target, scan the whole block, progress 0,
// gather every record in memory; then in place: the undo journal
// (patch/undo_journal.h) written and flushed, the changed ranges written,
// flush, close, the journal deleted; or, where most of the file changes
// or it is cut, the result written to a new file put in its place; progress
// 100, elapsed time, report. All or nothing: on any failure after the open
// the target is put back as it was. Every run first looks for the journal
// of an interrupted run on the target and puts the target back
// (report.interruptedRunRestored), and deletes a killed run's temporaries.
// hooks may be null (no backup, nothing told); report may be null. The
// patch stream is left positioned at its end.
PatchResult ApplyPatch(ByteStream* patch, const ByteString& targetPath, PatchRunHooks* hooks,
                       PatchRunReport* report, const TargetFacts* facts = nullptr);

// The same run on a patch block in memory, read where it lies (the
// publisher tool's patch, read from a file, is never copied).
PatchResult ApplyPatchBlock(const uint8_t* block, uint32_t size, const ByteString& targetPath,
                            PatchRunHooks* hooks, PatchRunReport* report, const TargetFacts* facts = nullptr);

// An IPS run on a target that is already open (any stream), without the
// backup: scan, gather, write, flush, cut; restored on failure from an undo
// journal kept in memory. The target is not closed.
PatchResult ApplyPatchToStream(ByteStream* patch, ByteStream* target, PatchRunHooks* hooks,
                               PatchRunReport* report);
