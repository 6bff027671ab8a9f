#include "patch/ips_patch.h"

#include <string.h>

#include "base/byte_order.h"
#include "patch/byte_stream.h"
#include "patch/patch_format.h"

namespace {

const uint32_t kMarkerOffset = 0x454F46;  // "EOF" read as a record offset

// Where the scanner reads from: a block in memory or a stream. Every read
// is bounds-checked against the size first, so a memory stream is never
// sought past its end (which would grow it).
struct ScanSource {
    const uint8_t* block;
    ByteStream* stream;
    uint32_t size;

    // The `count` (at most 3) bytes at `position`, or null when they are
    // not all there: in place for a block (no copy per field: the scan
    // reads three fields of every record), else read into `scratch`.
    const uint8_t* At(uint32_t position, uint32_t count, uint8_t* scratch) const {
        if (count > size || position > size - count) return nullptr;
        if (block) return block + position;
        if (position > 0x7FFFFFFFu) return nullptr;
        if (SetStreamPosition(stream, static_cast<int32_t>(position)) != position) return nullptr;
        return StreamRead(stream, scratch, count) == count ? scratch : nullptr;
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

    uint8_t scratch[kIpsHeaderSize];
    const uint8_t* header = source.At(0, kIpsHeaderSize, scratch);
    if (!header || IdentifyPatchFormat(header, kIpsHeaderSize) != PatchFormatIps) {
        Fail(scan, PatchProblemNoHeader, 0, 0, 0);
        return false;
    }

    uint32_t position = kIpsHeaderSize;
    uint32_t record = 0;
    bool anyWrite = false;
    scan->recordsEnd = size;
    while (position < size) {
        const uint32_t left = size - position;
        // "EOF" where a record would begin is the end marker when nothing or
        // exactly a 3-byte size follows it.
        const uint8_t* bytes;
        if ((left == 3 || left == 6) && (bytes = source.At(position, 3, scratch)) != nullptr &&
            memcmp(bytes, "EOF", 3) == 0) {
            scan->endMarkerOffset = position;
            scan->recordsEnd = position;
            if (left == 3) {
                scan->endMarker = PatchEndPlain;
            } else {
                if (!(bytes = source.At(position + 3, 3, scratch))) {
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
        if (!(bytes = source.At(position, 3, scratch))) {
            Fail(scan, PatchProblemCutInOffset, record, start, position);
            return false;
        }
        const uint32_t offset = ReadBigEndian(bytes, 3);
        position += 3;
        if (!(bytes = source.At(position, 2, scratch))) {
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
            if (!(bytes = source.At(position, 2, scratch))) {
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

uint64_t ResultingTargetSize(const PatchScan& scan, uint64_t targetSize) {
    if (scan.endMarker == PatchEndTruncate) return scan.truncateSize;
    return scan.highestEnd > targetSize ? scan.highestEnd : targetSize;
}

