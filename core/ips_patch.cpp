#include "core/ips_patch.h"

#include <string.h>

#include "core/byte_stream.h"
#include "core/conversions.h"
#include "core/file_handle.h"

namespace {

const uint32_t kHeaderSize = 5;
const uint32_t kMarkerOffset = 0x454F46;  // "EOF" read as a record offset
const uint32_t kProgressEvery = 5000;     // data records between progress updates

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

uint32_t BigEndian(const uint8_t* bytes, uint32_t count) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < count; ++i) value = (value << 8) | bytes[i];
    return value;
}

void Fail(PatchScan* scan, PatchProblem problem, uint32_t record, uint32_t recordOffset,
          uint32_t fieldOffset) {
    scan->valid = false;
    scan->problem = problem;
    scan->problemRecord = record;
    scan->problemRecordOffset = recordOffset;
    scan->problemFieldOffset = fieldOffset;
}

bool Scan(const ScanSource& source, PatchScan* scan) {
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
                scan->truncateSize = BigEndian(bytes, 3);
            }
            break;
        }

        ++record;
        const uint32_t start = position;
        if (!source.ReadAt(position, bytes, 3)) {
            Fail(scan, PatchProblemCutInOffset, record, start, position);
            return false;
        }
        const uint32_t offset = BigEndian(bytes, 3);
        position += 3;
        if (!source.ReadAt(position, bytes, 2)) {
            Fail(scan, PatchProblemCutInSize, record, start, position);
            return false;
        }
        const uint32_t dataSize = BigEndian(bytes, 2);
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
            written = BigEndian(bytes, 2);
            position += 2;
            if (size - position < 1) {
                Fail(scan, PatchProblemCutInRunValue, record, start, position);
                return false;
            }
            position += 1;
            ++scan->runRecords;
            scan->runBytes += written;
        }

        ++scan->recordCount;
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

// The hexadecimal text round trip every field goes through: each byte as
// two upper-case digits, joined in file order, parsed back. The result is
// the big-endian value of the bytes.
uint32_t FieldValue(const uint8_t* bytes, uint32_t count) {
    ByteString text;
    for (uint32_t i = 0; i < count; ++i) text.Append(HexDigits(bytes[i], 2));
    return static_cast<uint32_t>(ParseHex64(text));
}

// The run's data buffer: static storage, not the caller's stack. It holds
// the largest data record and the longest run (65,535 bytes each).
// mingw's GCC emits zero-filled statics as .data$ sections under
// -fdata-sections, which stores all 64 KiB in the .exe; naming .bss keeps
// them out of the file.
#ifdef __MINGW32__
__attribute__((section(".bss")))
#endif
uint8_t g_dataBuffer[65536];

void Notify(const PatchRunHooks& hooks, const ByteString* message) {
    if (!hooks.notify) return;
    if (message)
        hooks.notify(hooks.notifyContext, *message, 0);
    else
        hooks.notify(hooks.notifyContext, ByteString(), 0);
}

void Progress(const PatchRunHooks& hooks, uint32_t position) {
    if (hooks.progress) hooks.progress(hooks.progressContext, position);
}

}  // namespace

bool ScanPatch(const uint8_t* block, uint32_t size, PatchScan* scan) {
    static const uint8_t kEmpty[1] = {0};
    ScanSource source = {block ? block : kEmpty, nullptr, block ? size : 0};
    return Scan(source, scan);
}

bool ScanPatchStream(ByteStream* patch, PatchScan* scan) {
    ScanSource source = {nullptr, patch, StreamGetSize(patch)};
    return Scan(source, scan);
}

const char* PatchProblemText(PatchProblem problem) {
    switch (problem) {
    case PatchProblemNone: return "no problem";
    case PatchProblemNoHeader: return "does not begin with \"PATCH\"";
    case PatchProblemCutInOffset: return "record cut short in its offset";
    case PatchProblemCutInSize: return "record cut short in its size";
    case PatchProblemCutInData: return "record cut short in its data";
    case PatchProblemCutInRunCount: return "run record cut short in its run length";
    case PatchProblemCutInRunValue: return "run record cut short in its value";
    }
    return "unknown problem";
}

uint32_t ResultingTargetSize(const PatchScan& scan, uint32_t targetSize) {
    if (scan.endMarker == PatchEndTruncate) return scan.truncateSize;
    return scan.highestEnd > targetSize ? scan.highestEnd : targetSize;
}

ByteString BackupPathFor(const ByteString& targetPath) {
    ByteString path(targetPath);
    path.Append(".bak");
    return path;
}

PatchResult ApplyPatch(ByteStream* patch, const ByteString& targetPath, const PatchRunHooks& hooks,
                       const PatchMessages& messages, PatchRunReport* report) {
    PatchRunReport local;
    PatchRunReport* r = report ? report : &local;
    memset(r, 0, sizeof *r);
    memset(g_dataBuffer, 0, sizeof g_dataBuffer);
    uint8_t header[kHeaderSize] = {0};
    uint8_t offsetBytes[3] = {0};
    uint8_t sizeBytes[2] = {0};
    uint8_t runBytes[2] = {0};
    uint8_t value[1] = {0};
    int32_t dataRecords = 0;

    // 1. Backup before anything touches the target. Patching without the
    //    copy the user asked for would leave them without their original.
    if (hooks.backup && !CopyFileOverwrite(targetPath, BackupPathFor(targetPath))) {
        Notify(hooks, messages.backupFailed);
        return PatchResultBackupFailed;
    }

    // 2. Rewind the patch and read its header.
    SetStreamPosition(patch, 0);
    const bool headerRead = StreamRead(patch, header, kHeaderSize) == kHeaderSize;

    // 3. Open the target (a missing file is created empty). Opening comes
    //    before the header test, so a bad patch still opens the target; it
    //    is then closed with its bytes unchanged.
    ByteStream* target = OpenReadWriteFileStream(targetPath);
    if (!target || !IsValidFileHandle(target->fileHandle)) {
        Release(target);
        Notify(hooks, messages.writeFailed);
        return PatchResultWriteFailed;
    }

    // 4. Header test, then the whole block: nothing is written unless every
    //    record is complete.
    const bool isPatch = headerRead && memcmp(header, "PATCH", kHeaderSize) == 0;
    if (!ScanPatchStream(patch, &r->scan) || !isPatch) {
        Notify(hooks, messages.error);
        Release(target);
        return PatchResultMalformed;
    }

    // 5. Progress 0, start time.
    Progress(hooks, 0);
    const uint32_t start = TickCount();

    // 6. The records, read again from just after the header.
    PatchResult result = PatchResultDone;
    const uint32_t patchSize = StreamGetSize(patch);
    if (SetStreamPosition(patch, static_cast<int32_t>(kHeaderSize)) != kHeaderSize)
        result = PatchResultMalformed;
    while (result == PatchResultDone && r->recordsApplied < r->scan.recordCount) {
        if (StreamRead(patch, offsetBytes, 3) != 3 || StreamRead(patch, sizeBytes, 2) != 2) {
            result = PatchResultMalformed;
            break;
        }
        const uint32_t offset = FieldValue(offsetBytes, 3);
        const uint32_t size = FieldValue(sizeBytes, 2);
        uint32_t count;
        if (size == 0) {
            if (StreamRead(patch, runBytes, 2) != 2 || StreamRead(patch, value, 1) != 1) {
                result = PatchResultMalformed;
                break;
            }
            count = FieldValue(runBytes, 2);
            // One write of the whole run instead of one per byte: the same
            // bytes on disk for a fraction of the system calls.
            memset(g_dataBuffer, value[0], count);
        } else {
            if (StreamRead(patch, g_dataBuffer, size) != size) {
                result = PatchResultMalformed;
                break;
            }
            count = size;
            ++dataRecords;
            if (dataRecords % static_cast<int32_t>(kProgressEvery) == 0 && patchSize != 0) {
                // 64-bit product: position * 100 passes 32 bits above 42 MiB.
                uint64_t position = StreamPosition(patch);
                Progress(hooks, static_cast<uint32_t>(position * 100u / patchSize));
            }
        }
        // Absolute positioning: records may come in any order and overlap.
        if (StreamSeek(target, static_cast<int32_t>(offset), SeekOrigin::Beginning) != offset ||
            (count != 0 && StreamWrite(target, g_dataBuffer, count) != count)) {
            result = PatchResultWriteFailed;
            break;
        }
        ++r->recordsApplied;
    }

    // The truncation size of an "EOF" marker applies after all records.
    if (result == PatchResultDone && r->scan.endMarker == PatchEndTruncate) {
        if (!StreamSetSize(target, r->scan.truncateSize) || StreamGetSize(target) != r->scan.truncateSize)
            result = PatchResultWriteFailed;
    }

    if (result == PatchResultDone) {
        // 7, 8. Progress 100, then the elapsed time (taken after the bar moved).
        Progress(hooks, 100);
        r->elapsedMs = TickCount() - start;
        ByteString text;
        if (messages.done) text.Append(*messages.done);
        text.Append(DecimalDigits(static_cast<int32_t>(r->elapsedMs)));
        if (messages.ms) text.Append(*messages.ms);
        Notify(hooks, &text);
    } else {
        Notify(hooks, result == PatchResultWriteFailed ? messages.writeFailed : messages.error);
    }

    // 9. Release the target stream, which closes the file.
    Release(target);
    return result;
}
