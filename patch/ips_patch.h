// The IPS patch block: its layout, and the scan that checks a block whole
// before a run writes anything (patch/patch_run.h).
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

#include "base/byte_order.h"
#include "base/byte_string.h"

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

// "PATCH": the records begin right after it.
const uint32_t kIpsHeaderSize = 5;

// One record as it stands in a block.
struct IpsRecord {
    uint32_t offset;       // target offset
    uint32_t length;       // bytes it writes: the data size, or the run length
    const uint8_t* data;   // the data bytes inside the block; null for a run record
    uint8_t value;         // run record: the byte repeated
};

// Reads the record that begins at *position of a block the scan found
// valid, and moves *position past it. Stops (false) at the end of the
// records (scan.recordsEnd). Inline: a run walks its records several times.
inline bool NextIpsRecord(const uint8_t* block, const PatchScan& scan, uint32_t* position, IpsRecord* record) {
    uint32_t p = *position < kIpsHeaderSize ? kIpsHeaderSize : *position;
    // The scan proved every record up to recordsEnd complete; the checks
    // below only keep a caller with a mismatched scan inside the block.
    if (scan.recordsEnd < 5 || p > scan.recordsEnd - 5) return false;  // offset and size: 5 bytes
    record->offset = ReadBigEndian(block + p, 3);
    const uint32_t size = ReadBigEndian(block + p + 3, 2);
    p += 5;
    if (size != 0) {
        if (scan.recordsEnd - p < size) return false;
        record->length = size;
        record->data = block + p;
        record->value = 0;
        p += size;
    } else {
        if (scan.recordsEnd - p < 3) return false;
        record->length = ReadBigEndian(block + p, 2);
        record->data = nullptr;
        record->value = block[p + 2];
        p += 3;
    }
    *position = p;
    return true;
}

// Called every few thousand records of a scan, so a long one can keep its
// window alive.
typedef void (*ScanPulse)(void* context);

// Scans a block in memory. Returns scan->valid.
bool ScanPatch(const uint8_t* block, uint32_t size, PatchScan* scan, ScanPulse pulse = nullptr,
               void* context = nullptr);
// Scans a stream through its own Seek/Read, from position 0 to its size;
// never seeks past the size (a memory stream would grow). The position is
// left unspecified. Returns scan->valid.
bool ScanPatchStream(ByteStream* patch, PatchScan* scan);

// Size of the target after a run of a valid scan on a target of targetSize
// (of any size: only a truncation marker makes it smaller).
uint64_t ResultingTargetSize(const PatchScan& scan, uint64_t targetSize);
