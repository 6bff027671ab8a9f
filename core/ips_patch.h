// The IPS patch run: applies a patch block to a target file in place.
//
// Block layout: "PATCH", then records up to the end marker or the end of
// the block. A record is offset (3 bytes, big-endian), size (2 bytes,
// big-endian) and size data bytes; size 0 makes it a run record: run length
// (2 bytes, big-endian) and one value byte repeated that many times.
//
// End marker: the three bytes "EOF" standing where a record would begin end
// the records when nothing or exactly three bytes follow them; the three
// bytes are then a big-endian size the target is cut or extended to after
// all records. With more than three bytes after it, "EOF" is simply the
// offset 0x454F46 of an ordinary record. With no marker the records run to
// the end of the block.
//
// A block is taken only whole: the run scans it first and writes nothing
// unless every record is complete, so a cut patch never leaves a half-
// patched target and no byte that was not read from the block is written.
#pragma once
#include <stdint.h>

#include "core/byte_string.h"

class ByteStream;

enum PatchProblem : uint8_t {
    PatchProblemNone = 0,
    PatchProblemNoHeader,      // block does not begin with "PATCH"
    PatchProblemCutInOffset,   // 1 or 2 bytes left where a record begins
    PatchProblemCutInSize,     // record offset present, size cut
    PatchProblemCutInData,     // fewer data bytes left than the size says
    PatchProblemCutInRunCount, // run record: run length cut
    PatchProblemCutInRunValue  // run record: value byte missing
};

enum PatchEndMarker : uint8_t {
    PatchEndNone = 0,      // records run to the end of the block
    PatchEndPlain,         // "EOF" with nothing after it
    PatchEndTruncate       // "EOF" + 3-byte big-endian target size
};

// What ScanPatch learns about a block, walking it exactly as the run does.
struct PatchScan {
    bool valid;
    PatchProblem problem;
    // On failure: the 1-based number of the record that is cut (0 when the
    // header is missing), the block offset where that record begins, and
    // the block offset where the incomplete field begins.
    uint32_t problemRecord;
    uint32_t problemRecordOffset;
    uint32_t problemFieldOffset;

    PatchEndMarker endMarker;
    uint32_t endMarkerOffset;  // block offset of "EOF" (when present)
    uint32_t truncateSize;     // PatchEndTruncate only
    uint32_t recordsEnd;       // block offset where the records stop

    uint32_t recordCount;      // complete records (data + run)
    uint32_t dataRecords;
    uint32_t runRecords;
    uint64_t dataBytes;        // sum of data sizes
    uint64_t runBytes;         // sum of run lengths
    // Over the records that write at least one byte; both 0 when none does.
    uint32_t lowestOffset;
    uint32_t highestEnd;       // max(offset + length): the minimum target size
    // A record stands at 0x454F46 ("EOF"): the author may have meant a
    // marker. First such record (1-based, 0 = none), its block offset, and
    // how many records follow it.
    uint32_t markerLikeRecord;
    uint32_t markerLikeRecordOffset;
    uint32_t recordsAfterMarkerLike;
};

// Scans a block in memory. Returns scan->valid.
bool ScanPatch(const uint8_t* block, uint32_t size, PatchScan* scan);
// Scans a stream through its own Seek/Read, from position 0 to its size;
// never seeks past the size (a memory stream would grow). The position is
// left unspecified. Returns scan->valid.
bool ScanPatchStream(ByteStream* patch, PatchScan* scan);

// Short English name of a problem, for the publisher tool's messages.
const char* PatchProblemText(PatchProblem problem);

// Size of the target after a run of a valid scan on a target of targetSize.
uint32_t ResultingTargetSize(const PatchScan& scan, uint32_t targetSize);

// --- the run --------------------------------------------------------------

// The three places where a run meets its window. The window wires the
// backup check box, the progress bar and its message box to these; the
// publisher tool supplies console versions. Null sinks are skipped.
typedef void (*PatchProgressSink)(void* context, uint32_t position);  // 0..100
typedef void (*PatchNotifySink)(void* context, const ByteString& message, uint32_t type);

struct PatchRunHooks {
    bool backup;                 // copy target to target + ".bak" first
    PatchProgressSink progress;
    void* progressContext;
    PatchNotifySink notify;
    void* notifyContext;
};

// The run's message texts in the caller's code page, borrowed for the run.
// A null entry counts as empty text.
struct PatchMessages {
    const ByteString* done;          // "完成! 總用時:"
    const ByteString* ms;            // " ms"
    const ByteString* error;         // "程序錯誤!": not a patch / malformed
    const ByteString* writeFailed;   // "寫入失敗!"
    const ByteString* backupFailed;  // "備份失敗!"
};

enum PatchResult : uint8_t {
    PatchResultDone = 0,
    PatchResultMalformed,     // not a patch or malformed: target unchanged
    PatchResultBackupFailed,  // backup asked for and not made: target untouched
    PatchResultWriteFailed    // target not opened for writing, or a seek/write came up short
};

// Optional details of a run for callers that print them.
struct PatchRunReport {
    PatchScan scan;
    uint32_t elapsedMs;       // PatchResultDone only
    uint32_t recordsApplied;  // records fully written before the end or failure
};

// Suffix of the backup file: "D:\x\a.bin" -> "D:\x\a.bin.bak".
ByteString BackupPathFor(const ByteString& targetPath);

// One patch run of the block in `patch` (rewound first) on targetPath:
// backup, rewind, open target, block test, progress 0, start time, records,
// [truncation], progress 100, elapsed time, message, release. Shows exactly
// one message through hooks.notify (type 0, MB_OK) and returns the result.
// Not reentrant: the data buffer is one static 64 KiB array.
PatchResult ApplyPatch(ByteStream* patch, const ByteString& targetPath,
                       const PatchRunHooks& hooks, const PatchMessages& messages,
                       PatchRunReport* report);
