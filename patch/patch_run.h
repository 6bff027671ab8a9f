// One patch run: a scanned IPS block applied to a target file in place.
//
// The run reports, it does not speak: it returns a result and a report, and
// meets whoever hosts it (the program's window, the publisher tool's
// console) only through PatchRunHooks: the backup flag, progress, and the
// finished report. Putting a result into words is the host's business.
#pragma once
#include <stdint.h>

#include "base/byte_string.h"
#include "patch/ips_patch.h"

class ByteStream;

enum PatchResult : uint8_t {
    PatchResultDone = 0,
    PatchResultMalformed,     // not a patch or malformed: target unchanged
    PatchResultBackupFailed,  // backup asked for and not made: target untouched
    PatchResultWriteFailed    // target not opened for writing, or a seek/write came up short
};

// What a run did, for its host to put into words.
struct PatchRunReport {
    PatchResult result;
    PatchScan scan;
    uint32_t elapsedMs;       // PatchResultDone only
    uint32_t recordsApplied;  // records fully written before the end or failure
};

// The places where a run meets its host. The run never owns its hooks.
class PatchRunHooks {
public:
    // Asked once, before anything else: copy the target to target + ".bak".
    virtual bool WantsBackup() = 0;
    // 0 when the records start, 100 when they are all written; never
    // backwards.
    virtual void Progress(uint32_t percent) = 0;
    // Exactly once per run, with the report ApplyPatch also returns.
    virtual void Finished(const PatchRunReport& report) = 0;

protected:
    ~PatchRunHooks() = default;
};

// Suffix of the backup file: "D:\x\a.bin" -> "D:\x\a.bin.bak".
ByteString BackupPathFor(const ByteString& targetPath);

// One patch run of the block in `patch` (rewound first) on targetPath:
// backup, open target, block test, progress 0, start time, records,
// [truncation], progress 100, elapsed time, report, release. hooks may be
// null (no backup, nothing told); report may be null.
// Not reentrant: the data buffer is one static 64 KiB array.
PatchResult ApplyPatch(ByteStream* patch, const ByteString& targetPath, PatchRunHooks* hooks,
                       PatchRunReport* report);
