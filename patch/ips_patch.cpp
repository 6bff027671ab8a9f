#include "patch/ips_patch.h"

#include <string.h>

#include "base/byte_order.h"
#include "patch/byte_stream.h"

namespace {

const uint32_t kHeaderSize = 5;
const uint32_t kMarkerOffset = 0x454F46;  // "EOF" read as a record offset

// Where the scanner reads from: a block in memory or a stream. Every read
// is bounds-checked against the size first, so a memory stream is never
// sought past its end (which would grow it).
struct ScanSource {
    const uint8_t* block;
    ByteStream* stream;
    uint32_t size;

    bool ReadAt(uint32_t position, void* buffer, uint32_t count) const {
        if (count > size || position > size - count) return false;
        if (block) {
            memcpy(buffer, block + position, count);
            return true;
        }
        if (position > 0x7FFFFFFFu) return false;
        if (SetStreamPosition(stream, static_cast<int32_t>(position)) != position) return false;
        return StreamRead(stream, buffer, count) == count;
    }
};

void Fail(PatchScan* scan, PatchProblem problem, uint32_t record, uint32_t recordOffset,
          uint32_t fieldOffset) {
    scan->valid = false;
    scan->problem = problem;
    scan->problemRecord = record;
    scan->problemRecordOffset = recordOffset;
    scan->problemFieldOffset = fieldOffset;
}

bool Scan(const ScanSource& source, PatchScan* scan, ScanPulse pulse = nullptr, void* context = nullptr) {
    memset(scan, 0, sizeof *scan);
    const uint32_t size = source.size;
    uint8_t bytes[3];

    uint8_t header[kHeaderSize];
    if (!source.ReadAt(0, header, kHeaderSize) || memcmp(header, "PATCH", kHeaderSize) != 0) {
        Fail(scan, PatchProblemNoHeader, 0, 0, 0);
        return false;
    }

    uint32_t position = kHeaderSize;
    uint32_t record = 0;
    bool anyWrite = false;
    scan->recordsEnd = size;
    while (position < size) {
        const uint32_t left = size - position;
        // "EOF" where a record would begin is the end marker when nothing or
        // exactly a 3-byte size follows it.
        if ((left == 3 || left == 6) && source.ReadAt(position, bytes, 3) &&
            memcmp(bytes, "EOF", 3) == 0) {
            scan->endMarkerOffset = position;
            scan->recordsEnd = position;
            if (left == 3) {
                scan->endMarker = PatchEndPlain;
            } else {
                if (!source.ReadAt(position + 3, bytes, 3)) {
                    Fail(scan, PatchProblemCutInOffset, record + 1, position, position);
                    return false;
                }
                scan->endMarker = PatchEndTruncate;
                scan->truncateSize = ReadBigEndian(bytes, 3);
            }
            break;
        }

        ++record;
        const uint32_t start = position;
        if (!source.ReadAt(position, bytes, 3)) {
            Fail(scan, PatchProblemCutInOffset, record, start, position);
            return false;
        }
        const uint32_t offset = ReadBigEndian(bytes, 3);
        position += 3;
        if (!source.ReadAt(position, bytes, 2)) {
            Fail(scan, PatchProblemCutInSize, record, start, position);
            return false;
        }
        const uint32_t dataSize = ReadBigEndian(bytes, 2);
        position += 2;

        uint32_t written;
        if (dataSize != 0) {
            if (size - position < dataSize) {
                Fail(scan, PatchProblemCutInData, record, start, position);
                return false;
            }
            position += dataSize;
            ++scan->dataRecords;
            scan->dataBytes += dataSize;
            written = dataSize;
        } else {
            if (!source.ReadAt(position, bytes, 2)) {
                Fail(scan, PatchProblemCutInRunCount, record, start, position);
                return false;
            }
            written = ReadBigEndian(bytes, 2);
            position += 2;
            if (size - position < 1) {
                Fail(scan, PatchProblemCutInRunValue, record, start, position);
                return false;
            }
            position += 1;
            ++scan->runRecords;
            scan->runBytes += written;
        }

        if (++scan->recordCount % 4096 == 0 && pulse) pulse(context);
        if (written != 0) {
            if (!anyWrite || offset < scan->lowestOffset) scan->lowestOffset = offset;
            anyWrite = true;
            if (offset + written > scan->highestEnd) scan->highestEnd = offset + written;
        }
        if (scan->markerLikeRecord != 0) {
            ++scan->recordsAfterMarkerLike;
        } else if (offset == kMarkerOffset) {
            scan->markerLikeRecord = record;
            scan->markerLikeRecordOffset = start;
        }
    }
    scan->valid = true;
    scan->problem = PatchProblemNone;
    return true;
}

}  // namespace

bool ScanPatch(const uint8_t* block, uint32_t size, PatchScan* scan, ScanPulse pulse, void* context) {
    static const uint8_t kEmpty[1] = {0};
    ScanSource source = {block ? block : kEmpty, nullptr, block ? size : 0};
    return Scan(source, scan, pulse, context);
}

bool ScanPatchStream(ByteStream* patch, PatchScan* scan) {
    ScanSource source = {nullptr, patch, StreamGetSize(patch)};
    return Scan(source, scan);
}

uint32_t ResultingTargetSize(const PatchScan& scan, uint32_t targetSize) {
    if (scan.endMarker == PatchEndTruncate) return scan.truncateSize;
    return scan.highestEnd > targetSize ? scan.highestEnd : targetSize;
}

bool NextIpsRecord(const uint8_t* block, const PatchScan& scan, uint32_t* position, IpsRecord* record) {
    uint32_t p = *position;
    if (p < kHeaderSize) p = kHeaderSize;
    // The scan proved every record up to recordsEnd complete; the checks
    // below only keep a caller with a mismatched scan inside the block.
    if (scan.recordsEnd < 5 || p > scan.recordsEnd - 5) return false;
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
