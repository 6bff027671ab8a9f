// A patcher with variants (patch/patch_container.h): the target is read
// once for its size and CRC-32 (whole and past a copier header), the
// variant whose source or result it is picked, and that variant's patch
// run through the format-neutral entry (patch/patch_run.h), its records
// moved by the header the file has or lacks. A patcher without variants
// runs exactly as it did before them.
#pragma once
#include <stdint.h>

#include "base/byte_string.h"
#include "patch/patch_container.h"
#include "patch/patch_run.h"

// A target as one read saw it.
struct TargetIdentity {
    uint32_t size;
    uint32_t crc;      // the whole file
    uint32_t bodyCrc;  // past the first CopierHeaderSize bytes
};

// Which variant a target is (index -1: none). Results come first: a file
// that is some variant's result is never patched again.
struct VariantMatch {
    int32_t index;
    bool isResult;
    HeaderState header;
};
// only >= 0 looks at that variant alone.
VariantMatch MatchVariant(const PatchVariant* variants, uint32_t count, const TargetIdentity& id, int32_t only);

// An IPS block with every record (and a truncation size) moved by the
// header: 512 bytes on for HeaderAdded, back for HeaderMissing. False when
// a record that writes would land in a header the file does not have, past
// what an offset holds, or on the offset read as "EOF".
bool ShiftIpsBlock(const uint8_t* block, uint32_t size, HeaderState header, ByteString* out);

// The patch run of a patcher: mainBlock is its patch block, extension what
// its description block carries. Without variants this is ApplyPatchBlock
// with the extension's facts. With them: identify, pick (only >= 0: that
// variant alone, chosen by hand), then already patched, the run of the
// variant's patch on its source (header kept, result checked against the
// variant's result), or for a file that is none of them the host's
// question (IPS: Yes runs the first candidate's patch unchecked) or a
// refusal (BPS). The time reported covers the whole run.
PatchResult ApplyPatchVariants(const uint8_t* mainBlock, uint32_t mainSize, const PayloadExtension& extension,
                               int32_t only, const ByteString& targetPath, PatchRunHooks* hooks,
                               PatchRunReport* report);
