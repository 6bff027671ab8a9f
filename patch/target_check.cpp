#include "patch/target_check.h"

#include <stdlib.h>
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

// One window: its ranges of the target, read, and a copy with the records
// laid over it, compared.
bool WindowMatches(const ChangeMap& map, uint32_t w, FileHandle target, uint8_t* read, uint8_t* patched,
                   uint64_t end) {
    const uint32_t windowBegin = map.WindowBegin(w);
    const uint32_t windowEnd = map.WindowEnd(w) < end ? map.WindowEnd(w) : static_cast<uint32_t>(end);
    uint32_t from = windowBegin, start, stop;
    while (map.NextRange(from, windowEnd, &start, &stop)) {
        uint8_t* at = read + (start - windowBegin);
        if (SeekFileHandle(target, static_cast<int32_t>(start), SeekOrigin::Beginning) != start ||
            ReadFileHandle(target, at, stop - start) != stop - start)
            return false;
        memcpy(patched + (start - windowBegin), at, stop - start);
        from = stop;
    }
    map.ApplyWindow(w, patched);
    for (from = windowBegin; map.NextRange(from, windowEnd, &start, &stop); from = stop)
        if (memcmp(read + (start - windowBegin), patched + (start - windowBegin), stop - start) != 0) return false;
    return true;
}

// The last record's bytes against the target's: they are the bytes the
// patch leaves there whatever came before, so a target that still needs
// the patch is almost always told apart here, without laying out a window.
bool LastRecordThere(const ChangeMap& map, FileHandle target) {
    IpsRecord record;
    if (!map.LastRecord(&record) ||
        SeekFileHandle(target, static_cast<int32_t>(record.offset), SeekOrigin::Beginning) != record.offset)
        return false;
    for (uint32_t done = 0; done < record.length;) {
        const uint32_t want = record.length - done < kChunkSize ? record.length - done : kChunkSize;
        if (ReadFileHandle(target, g_chunk, want) != want) return false;
        for (uint32_t i = 0; i < want; ++i)
            if (g_chunk[i] != (record.data ? record.data[done + i] : record.value)) return false;
        done += want;
    }
    return true;
}

// Window by window, the bytes the records leave against the target's;
// stops at the first window that differs, so a target that needs the patch
// is usually told apart within its first.
// Only below end: what a truncation would cut is not compared.
bool ChangedBytesMatch(const ChangeMap& map, FileHandle target, uint64_t end) {
    const uint32_t span = map.End() - map.Begin();
    const uint32_t size = span < ChangeMap::kWindowSize ? span : ChangeMap::kWindowSize;
    uint8_t* read = static_cast<uint8_t*>(malloc(size));
    uint8_t* patched = static_cast<uint8_t*>(malloc(size));
    bool match = read && patched;
    for (uint32_t w = 0; match && w < map.WindowCount() && map.WindowBegin(w) < end; ++w)
        match = WindowMatches(map, w, target, read, patched, end);
    free(read);
    free(patched);
    return match;
}

}  // namespace

namespace {

// Slice-by-8 tables: g_crcTable[k][b] is the CRC register after byte b
// followed by k zero bytes, so eight bytes fold into the register with
// eight independent look-ups. Built on first use into zero-filled storage
// (8 KiB of .bss, no bytes in the file); g_crcTable[0][1] is never 0 once
// built, which tells whether it has been. Eight rather than sixteen: the
// loop is half the code, and stays within twice zlib's crc32.
#ifdef __MINGW32__
__attribute__((section(".bss")))
#endif
uint32_t g_crcTable[8][256];

void BuildCrcTable() {
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
        g_crcTable[0][n] = c;
    }
    // Tables 1 to 7 in one pass over the rows laid end to end: entry i is
    // entry i - 256 (the table before, same byte) followed by one zero byte.
    uint32_t* entry = g_crcTable[0];
    for (uint32_t i = 256; i < 8 * 256; ++i) entry[i] = (entry[i - 256] >> 8) ^ entry[entry[i - 256] & 0xFF];
}

// The builds for the download are optimised for size, where GCC would call
// these four-instruction helpers eight times a loop: a third of the
// speed.
#define TESSEL_INLINE inline __attribute__((always_inline))

// Little-endian, whatever the host: the bytes are taken in file order.
TESSEL_INLINE uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// Four bytes of a word, table k + 3 for its first byte down to k for its last.
TESSEL_INLINE uint32_t FoldWord(const uint32_t (*table)[256], uint32_t w, int k) {
    return table[k + 3][w & 0xFF] ^ table[k + 2][(w >> 8) & 0xFF] ^ table[k + 1][(w >> 16) & 0xFF] ^
           table[k][w >> 24];
}

}  // namespace

uint32_t Crc32Update(uint32_t crc, const uint8_t* bytes, uint32_t count) {
    // A table rather than bit by bit: a 64 MiB target was 0.47 s of CRC
    // bit by bit, and the table costs the file only the code that fills it.
    if (g_crcTable[0][1] == 0) BuildCrcTable();
    // The tables through a register: eight look-ups a loop at offsets
    // from it, rather than each at an absolute address the loader must
    // relocate (i686).
    const uint32_t(*table)[256] = g_crcTable;
    __asm__("" : "+r"(table));
    crc = ~crc;
    for (; count >= 8; count -= 8, bytes += 8) crc = FoldWord(table, Le32(bytes) ^ crc, 4) ^ FoldWord(table, Le32(bytes + 4), 0);
    for (; count; --count) crc = (crc >> 8) ^ table[0][(crc ^ *bytes++) & 0xFF];
    return ~crc;
}

bool FileSizeAndCrc(FileHandle file, uint32_t* size, uint32_t* crc, FileProgressFunction progress, void* context,
                    uint32_t* bodyCrc) {
    *size = GetFileSizeHandle(file);
    *crc = 0;
    if (bodyCrc) *bodyCrc = 0;
    if (*size == InvalidFileSize || SeekFileHandle(file, 0, SeekOrigin::Beginning) != 0) return false;
    for (uint32_t done = 0; done < *size;) {
        uint32_t want = *size - done < kChunkSize ? *size - done : kChunkSize;
        if (ReadFileHandle(file, g_chunk, want) != want) return false;
        *crc = Crc32Update(*crc, g_chunk, want);
        if (bodyCrc) {
            // The header ends inside the first chunk (chunks are larger).
            const uint32_t skip = done ? 0 : want < CopierHeaderSize ? want : CopierHeaderSize;
            *bodyCrc = Crc32Update(*bodyCrc, g_chunk + skip, want - skip);
        }
        done += want;
        if (progress) progress(context, done, *size);
    }
    return true;
}

namespace {

// Whether a run would change nothing: it would leave the size as it is, and
// every byte the records leave below that size is there already. Records
// a truncation cuts away are not looked for (the run leaves them nowhere),
// so a shrinking patch is seen once applied, as a growing one is.
bool ChangesAlreadyThere(const ChangeMap& changes, const PatchScan& scan, FileHandle target) {
    // Neither a byte written nor a size set: nothing could be "there", and
    // such a block keeps the run it always had.
    const bool writes = scan.highestEnd != 0 && changes.End() > changes.Begin();
    if (!scan.valid || (!writes && scan.endMarker != PatchEndTruncate)) return false;
    uint64_t size;
    if (!GetFileSizeHandle64(target, &size) || ResultingTargetSize(scan, size) != size) return false;
    if (!writes || changes.Begin() >= size) return true;
    IpsRecord last;
    const bool lastKept = changes.LastRecord(&last) && last.offset + last.length <= size;
    return (!lastKept || LastRecordThere(changes, target)) && ChangedBytesMatch(changes, target, size);
}

}  // namespace

bool PatchBytesAlreadyThere(const uint8_t* block, const PatchScan& scan, FileHandle target) {
    // The bytes the run would leave, later records over earlier ones, once:
    // comparing record by record would be quadratic in overlapping records.
    ChangeMap map;
    return map.Gather(block, scan) && ChangesAlreadyThere(map, scan, target);
}

TargetVerdict CheckTarget(const ChangeMap& changes, const PatchScan& scan, const ByteString& targetPath,
                          const TargetFacts* facts, FileProgressFunction progress, void* context) {
    FileHandle target = OpenFileHandle(targetPath, OpenModeReadOnly);
    // Not a disk file (a FIFO, a device): nothing to compare, and reading
    // it could wait forever.
    const TargetVerdict verdict = IsRegularFileHandle(target)
                                      ? CheckTarget(changes, scan, target, facts, progress, context)
                                      : TargetUnchecked;
    CloseFileHandle(target);
    return verdict;
}

TargetVerdict CheckTarget(const ChangeMap& changes, const PatchScan& scan, FileHandle target,
                          const TargetFacts* facts, FileProgressFunction progress, void* context) {
    TargetVerdict verdict = facts ? TargetUnknown : TargetUnchecked;
    uint32_t size, crc;
    if (facts && FileSizeAndCrc(target, &size, &crc, progress, context)) {
        if (size == facts->resultSize && crc == facts->resultCrc)
            verdict = TargetAlreadyPatched;
        else if (size == facts->originalSize && crc == facts->originalCrc)
            verdict = TargetIsOriginal;
    }
    if ((verdict == TargetUnchecked || verdict == TargetUnknown) && ChangesAlreadyThere(changes, scan, target))
        verdict = TargetAlreadyPatched;
    return verdict;
}

TargetVerdict CheckTarget(const uint8_t* block, const PatchScan& scan, const ByteString& targetPath,
                          const TargetFacts* facts) {
    ChangeMap map;
    map.Gather(block, scan);  // an empty map when refused: then nothing is "already there"
    return CheckTarget(map, scan, targetPath, facts);
}
