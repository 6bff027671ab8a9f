// One patch run: a scanned IPS block applied to a target file in place.
//
// The run reports, it does not speak: it returns a result and a report, and
// meets whoever hosts it (the program's window, the publisher tool's
// console) only through PatchRunHooks: the backup flag, progress, and the
// finished report. Putting a result into words is the host's business.
#pragma once
#include <stdint.h>

#include "base/byte_string.h"
#include "patch/backup_copy.h"
#include "patch/ips_patch.h"

class ByteStream;
struct TargetFacts;

enum PatchResult : uint8_t {
    PatchResultDone = 0,
    PatchResultMalformed,     // not a patch or malformed: target unchanged
    PatchResultBackupFailed,  // backup asked for and not made: target untouched
    // The target could not be opened, or a write, resize, flush or close
    // failed: the target was put back byte for byte as it was.
    PatchResultWriteFailed,
    // A write failed and putting the target back failed too: it may be
    // damaged (the backup, when one was made, holds the original).
    PatchResultRestoreFailed,
    PatchResultAlreadyPatched,  // the target holds the patch already: nothing written, no backup
    PatchResultDeclined         // not the file the patch was made for, and the host said no
};

// What a run did, for its host to put into words.
struct PatchRunReport {
    PatchResult result;
    PatchScan scan;
    uint32_t elapsedMs;       // PatchResultDone only
    uint32_t recordsApplied;  // every record on success, 0 otherwise: a run is all or nothing
    bool backupMade;          // target + ".bak" holds the target as it was before the run
    bool outOfMemory;         // the changes could not be gathered: nothing was written
    bool openFailed;          // the target could not be opened for writing
    // The system's error code (LastFileError) of the call that made a run
    // fail with BackupFailed, WriteFailed or RestoreFailed; 0 otherwise or
    // when no system call failed (out of memory, a folder named like the .bak).
    uint32_t systemError;
};

// The places where a run meets its host. The run never owns its hooks.
class PatchRunHooks {
public:
    // Asked once, after the target check and before anything is written:
    // copy the target to target + ".bak".
    virtual bool WantsBackup() = 0;
    // Asked before the backup when the patcher's verification data says the
    // target is neither the original nor the patched result; true patches
    // it anyway.
    virtual bool ProceedWithUnknownTarget() { return false; }
    // 0 when the records start, 100 when they are all written; never
    // backwards.
    virtual void Progress(uint32_t percent) = 0;
    // Called every few milliseconds of work while a run is long: the
    // program keeps its window alive here.
    virtual void StillWorking() {}
    // Exactly once per run, with the report ApplyPatch also returns.
    virtual void Finished(const PatchRunReport& report) = 0;

protected:
    ~PatchRunHooks() = default;
};

// One patch run of the block in `patch` (a memory stream) on targetPath:
// target check (patch/target_check.h; facts may be null), backup, open the target, scan the whole block, progress 0, start time,
// gather every record in memory, write the changed ranges, flush, cut,
// close, progress 100, elapsed time, report. All or nothing: on any failure
// after the open the target is put back as it was. hooks may be null (no
// backup, nothing told); report may be null. The patch stream is left
// positioned at its end.
PatchResult ApplyPatch(ByteStream* patch, const ByteString& targetPath, PatchRunHooks* hooks,
                       PatchRunReport* report, const TargetFacts* facts = nullptr);

// The same run on a patch block in memory, read where it lies (the
// publisher tool's patch, read from a file, is never copied).
PatchResult ApplyPatchBlock(const uint8_t* block, uint32_t size, const ByteString& targetPath,
                            PatchRunHooks* hooks, PatchRunReport* report, const TargetFacts* facts = nullptr);

// The same run on a target that is already open (any stream), without the
// backup: scan, gather, write, flush, cut; restored on failure. The target
// is not closed.
PatchResult ApplyPatchToStream(ByteStream* patch, ByteStream* target, PatchRunHooks* hooks,
                               PatchRunReport* report);
