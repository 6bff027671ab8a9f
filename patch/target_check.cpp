#include "patch/target_check.h"

#include "patch/ips_patch.h"

namespace {

const uint32_t kHeaderSize = 5;
const uint32_t kChunkSize = 32768;

// Read buffer of the check; static storage rather than the stack. mingw's
// GCC puts zero-filled statics in .data$ sections under -fdata-sections,
// which would store them in the .exe; naming .bss keeps them out.
#ifdef __MINGW32__
__attribute__((section(".bss")))
#endif
uint8_t g_chunk[kChunkSize];

// Whether a record after the one ending at block position `from` writes the
// target byte at `offset`: its bytes, not the earlier record's, are the
// ones the run leaves there.
bool WrittenLater(const uint8_t* block, const PatchScan& scan, uint32_t from, uint32_t offset) {
    IpsRecord later;
    while (NextIpsRecord(block, scan, &from, &later))
        if (offset >= later.offset && offset - later.offset < later.length) return true;
    return false;
}

// One record's range compared with the target, a chunk at a time.
bool RecordAlreadyThere(const uint8_t* block, const PatchScan& scan, uint32_t next,
                        const IpsRecord& record, FileHandle target) {
    if (SeekFileHandle(target, static_cast<int32_t>(record.offset), SeekOrigin::Beginning) != record.offset)
        return false;
    for (uint32_t done = 0; done < record.length;) {
        uint32_t want = record.length - done < kChunkSize ? record.length - done : kChunkSize;
        if (ReadFileHandle(target, g_chunk, want) != want) return false;
        for (uint32_t i = 0; i < want; ++i) {
            uint8_t patched = record.data ? record.data[done + i] : record.value;
            if (g_chunk[i] != patched && !WrittenLater(block, scan, next, record.offset + done + i))
                return false;
        }
        done += want;
    }
    return true;
}

}  // namespace

uint32_t Crc32Update(uint32_t crc, const uint8_t* bytes, uint32_t count) {
    // Bit by bit rather than through a 1 KiB table: the code stays a few
    // bytes in the downloaded program, and one pass over a target is still
    // quick next to reading it.
    crc = ~crc;
    for (uint32_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

bool FileSizeAndCrc(FileHandle file, uint32_t* size, uint32_t* crc) {
    *size = GetFileSizeHandle(file);
    *crc = 0;
    if (*size == InvalidFileSize || SeekFileHandle(file, 0, SeekOrigin::Beginning) != 0) return false;
    for (uint32_t done = 0; done < *size;) {
        uint32_t want = *size - done < kChunkSize ? *size - done : kChunkSize;
        if (ReadFileHandle(file, g_chunk, want) != want) return false;
        *crc = Crc32Update(*crc, g_chunk, want);
        done += want;
    }
    return true;
}

bool PatchBytesAlreadyThere(const uint8_t* block, const PatchScan& scan, FileHandle target) {
    // No record writes a byte: nothing could be "there", and such a block
    // keeps the run it always had.
    if (!scan.valid || scan.highestEnd == 0) return false;
    uint32_t size = GetFileSizeHandle(target);
    if (size == InvalidFileSize || size < scan.highestEnd) return false;
    if (scan.endMarker == PatchEndTruncate && scan.truncateSize != size) return false;
    uint32_t position = kHeaderSize;
    IpsRecord record;
    while (NextIpsRecord(block, scan, &position, &record)) {
        if (record.length != 0 && !RecordAlreadyThere(block, scan, position, record, target))
            return false;
    }
    return true;
}

TargetVerdict CheckTarget(const uint8_t* block, const PatchScan& scan, const ByteString& targetPath,
                          const TargetFacts* facts) {
    FileHandle target = OpenFileHandle(targetPath, OpenModeReadOnly);
    if (!IsValidFileHandle(target)) return TargetUnchecked;
    TargetVerdict verdict = facts ? TargetUnknown : TargetUnchecked;
    uint32_t size, crc;
    if (facts && FileSizeAndCrc(target, &size, &crc)) {
        if (size == facts->resultSize && crc == facts->resultCrc)
            verdict = TargetAlreadyPatched;
        else if (size == facts->originalSize && crc == facts->originalCrc)
            verdict = TargetIsOriginal;
    }
    if ((verdict == TargetUnchecked || verdict == TargetUnknown) && PatchBytesAlreadyThere(block, scan, target))
        verdict = TargetAlreadyPatched;
    CloseFileHandle(target);
    return verdict;
}
