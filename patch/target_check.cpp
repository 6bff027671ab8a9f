#include "patch/target_check.h"

#include <string.h>

#include "patch/change_map.h"
#include "patch/ips_patch.h"

namespace {

const uint32_t kChunkSize = 32768;

// Read buffer of the check; static storage rather than the stack. mingw's
// GCC puts zero-filled statics in .data$ sections under -fdata-sections,
// which would store them in the .exe; naming .bss keeps them out.
#ifdef __MINGW32__
__attribute__((section(".bss")))
#endif
uint8_t g_chunk[kChunkSize];

// The changed runs of the map compared with the target, a chunk of the
// target at a time: runs close together share one read.
bool ChangedBytesMatch(const ChangeMap& map, FileHandle target, uint32_t size) {
    const uint8_t* image = map.Image() - map.Begin();  // indexed by target offset
    uint32_t from = map.Begin(), start, stop;
    while (map.NextChangedRun(from, &start, &stop)) {
        const uint32_t windowStart = start;
        const uint32_t windowEnd = size - start > kChunkSize ? start + kChunkSize : size;
        if (SeekFileHandle(target, static_cast<int32_t>(start), SeekOrigin::Beginning) != start ||
            ReadFileHandle(target, g_chunk, windowEnd - start) != windowEnd - start)
            return false;
        from = windowEnd;
        // Every run that begins in the window, as far as the window goes; a
        // run that goes on past it is taken up again at windowEnd.
        do {
            const uint32_t end = stop < windowEnd ? stop : windowEnd;
            if (memcmp(g_chunk + (start - windowStart), image + start, end - start) != 0) return false;
        } while (stop < windowEnd && map.NextChangedRun(stop, &start, &stop) && start < windowEnd);
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

namespace {

bool ChangesAlreadyThere(const ChangeMap& changes, const PatchScan& scan, FileHandle target) {
    // No record writes a byte: nothing could be "there", and such a block
    // keeps the run it always had.
    if (!scan.valid || scan.highestEnd == 0 || changes.End() <= changes.Begin()) return false;
    uint32_t size = GetFileSizeHandle(target);
    if (size == InvalidFileSize || size < scan.highestEnd) return false;
    if (scan.endMarker == PatchEndTruncate && scan.truncateSize != size) return false;
    return ChangedBytesMatch(changes, target, size);
}

}  // namespace

bool PatchBytesAlreadyThere(const uint8_t* block, const PatchScan& scan, FileHandle target) {
    // The bytes the run would leave, later records over earlier ones, once:
    // comparing record by record would be quadratic in overlapping records.
    ChangeMap map;
    return map.Gather(block, scan) && ChangesAlreadyThere(map, scan, target);
}

TargetVerdict CheckTarget(const ChangeMap& changes, const PatchScan& scan, const ByteString& targetPath,
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
    if ((verdict == TargetUnchecked || verdict == TargetUnknown) && ChangesAlreadyThere(changes, scan, target))
        verdict = TargetAlreadyPatched;
    CloseFileHandle(target);
    return verdict;
}

TargetVerdict CheckTarget(const uint8_t* block, const PatchScan& scan, const ByteString& targetPath,
                          const TargetFacts* facts) {
    ChangeMap map;
    map.Gather(block, scan);  // an empty map when refused: then nothing is "already there"
    return CheckTarget(map, scan, targetPath, facts);
}
