// Whether a target is the file a patch was made for, asked before a run
// writes anything (patch/patch_run.h): a target that already holds the
// patch is left alone, and one that is neither the original nor the
// patched result is reported so the host can ask its user.
#pragma once
#include <stdint.h>

#include "base/byte_string.h"
#include "platform/file_handle.h"

class ChangeMap;
struct PatchScan;

// Size and CRC-32 of the file a patch was made for and of the patched
// result, as a patcher may carry them (patch/patch_container.h).
struct TargetFacts {
    uint32_t originalSize;
    uint32_t originalCrc;
    uint32_t resultSize;
    uint32_t resultCrc;
};
// The copier header some dumps carry in front of the data (SNES and
// others): a patcher with variants recognises its files with or without it.
const uint32_t CopierHeaderSize = 512;

// Read as four consecutive words by the container (patch/patch_container.cpp).
static_assert(sizeof(TargetFacts) == 16, "TargetFacts is four 32-bit words");

// CRC-32 as zip and PNG use it (reflected, polynomial 0xEDB88320, initial
// and final XOR 0xFFFFFFFF). Chains over chunks: Crc32Update(0, ...) starts,
// and each call continues from the value the previous one returned.
uint32_t Crc32Update(uint32_t crc, const uint8_t* bytes, uint32_t count);

enum TargetVerdict : uint8_t {
    TargetUnchecked = 0,   // nothing to go by: the run goes on as it always did
    TargetIsOriginal,      // size and CRC-32 of the original
    TargetAlreadyPatched,  // the patched result, or every byte the patch writes is there
    TargetUnknown          // verification data present, and the target is neither
};

// Size and CRC-32 of a whole file, read from its start in chunks, progress
// (may be null) told after each. False when a read comes up short of the
// size the file reported. bodyCrc (may be null) gets the CRC-32 of the
// bytes past the first CopierHeaderSize in the same read (0 for a file no
// longer than that): what a patcher with variants needs to know a file
// with or without a header.
bool FileSizeAndCrc(FileHandle file, uint32_t* size, uint32_t* crc, FileProgressFunction progress = nullptr,
                    void* context = nullptr, uint32_t* bodyCrc = nullptr);

// Whether a run of a valid block on this target would change nothing: every
// record's bytes already stand at its offset (where a later record writes
// the same place, the later one's bytes count), and an end marker's size is
// already the target's size. Reads only the patched ranges, below the size
// a truncation sets. A block that neither writes a byte nor sets a size is
// never "already there".
bool PatchBytesAlreadyThere(const uint8_t* block, const PatchScan& scan, FileHandle target);

// The check a run makes before its backup. facts may be null (the patcher
// carries none): the target is then read only where the patch writes. A
// target that cannot be opened for reading is TargetUnchecked; the run
// reports what goes wrong with it.
TargetVerdict CheckTarget(const uint8_t* block, const PatchScan& scan, const ByteString& targetPath,
                          const TargetFacts* facts);
// The same with the bytes the run would leave already gathered (the run
// goes on to write from the same map); progress (may be null) is told as
// the whole target is read for its CRC-32.
TargetVerdict CheckTarget(const ChangeMap& changes, const PatchScan& scan, const ByteString& targetPath,
                          const TargetFacts* facts, FileProgressFunction progress = nullptr,
                          void* context = nullptr);
// The same through a handle open for reading, which the run goes on to
// write through: the file checked is the file written, whatever happens to
// its name meanwhile. The handle's position is left anywhere.
TargetVerdict CheckTarget(const ChangeMap& changes, const PatchScan& scan, FileHandle target,
                          const TargetFacts* facts, FileProgressFunction progress = nullptr,
                          void* context = nullptr);
