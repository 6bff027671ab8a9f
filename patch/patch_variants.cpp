#include "patch/patch_variants.h"

#include <string.h>

#include "base/byte_order.h"
#include "patch/ips_patch.h"
#include "patch/run_host.h"
#include "patch/target_check.h"
#include "platform/clock.h"
#include "platform/file_handle.h"

namespace {

const uint32_t kEofOffset = 0x454F46;      // a record here can read as the end marker
const uint32_t kLargestOffset = 0xFFFFFF;  // three bytes

// Whether the identified file is this one (size and CRC-32 of the whole
// file), and with which header: one with a copier header added in front,
// or this one without its own.
bool IsFile(const TargetIdentity& id, uint32_t size, uint32_t crc, uint32_t bodyCrc, HeaderState* header) {
    if (id.size == size && id.crc == crc) *header = HeaderAsMade;
    else if (size <= 0xFFFFFFFFu - CopierHeaderSize && id.size == size + CopierHeaderSize && id.bodyCrc == crc)
        *header = HeaderAdded;
    else if (size > CopierHeaderSize && id.size == size - CopierHeaderSize && id.crc == bodyCrc)
        *header = HeaderMissing;
    else
        return false;
    return true;
}

// The whole file read once through a handle of its own: its size, CRC-32,
// and CRC-32 past the header; the bar moves as it goes.
bool ReadIdentity(const ByteString& targetPath, TargetIdentity* id, RunHost& host) {
    FileHandle file = OpenFileHandle(targetPath, OpenModeReadOnly);
    // Not a disk file (a FIFO, a device): the route refuses it unread.
    const bool read = IsRegularFileHandle(file) &&
                      FileSizeAndCrc(file, &id->size, &id->crc, ShowFileProgress, &host, &id->bodyCrc);
    CloseFileHandle(file);
    return read;
}

// The 3-byte big-endian offset or size at field moved by delta. False when
// it would leave what three bytes hold (below 0 wraps past them) unless
// `strict` is off, then it becomes 0, or land on the offset read as "EOF".
bool MoveField(uint8_t* field, uint32_t delta, bool strict) {
    uint32_t to = ReadBigEndian(field, 3) + delta;
    if (to > kLargestOffset) {
        if (strict) return false;
        to = 0;
    }
    if (to == kEofOffset) return false;
    field[0] = static_cast<uint8_t>(to >> 16);
    field[1] = static_cast<uint8_t>(to >> 8);
    field[2] = static_cast<uint8_t>(to);
    return true;
}

// Variant i's patch: the patch block for the first.
const uint8_t* VariantBlock(const PayloadExtension& extension, uint32_t i, const uint8_t* mainBlock,
                            uint32_t mainSize, uint32_t* size) {
    *size = i ? extension.variants[i].patchSize : mainSize;
    return i ? VariantPatch(extension, i) : mainBlock;
}

}  // namespace

VariantMatch MatchVariant(const PatchVariant* variants, uint32_t count, const TargetIdentity& id, int32_t only) {
    VariantMatch match = {-1, false, HeaderAsMade};
    for (int pass = 0; pass < 2 && match.index < 0; ++pass)
        for (uint32_t i = 0; i < count && match.index < 0; ++i) {
            if (only >= 0 && static_cast<uint32_t>(only) != i) continue;
            const TargetFacts& f = variants[i].facts;
            const bool found = pass == 0 ? IsFile(id, f.resultSize, f.resultCrc, variants[i].resultBodyCrc, &match.header)
                                         : IsFile(id, f.originalSize, f.originalCrc, variants[i].sourceBodyCrc, &match.header);
            if (found) {
                match.index = static_cast<int32_t>(i);
                match.isResult = pass == 0;
            }
        }
    return match;
}

bool ShiftIpsBlock(const uint8_t* block, uint32_t size, HeaderState header, ByteString* out) {
    PatchScan scan;
    *out = ByteString();
    if (!ScanPatch(block, size, &scan) || !out->Append(block, size)) return false;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(out->Data());
    const uint32_t delta = header == HeaderAdded ? CopierHeaderSize : 0u - CopierHeaderSize;
    // The scan has checked every record whole: each is walked by its sizes.
    // A record that writes nothing (a run of 0) may stay below the header:
    // it is put at 0.
    for (uint32_t at = kIpsHeaderSize; at < scan.recordsEnd;) {
        const uint32_t length = ReadBigEndian(bytes + at + 3, 2);
        const uint32_t writes = length ? length : ReadBigEndian(bytes + at + 5, 2);
        if (!MoveField(bytes + at, delta, writes != 0)) return false;
        at += 5 + (length ? length : 3);
    }
    return scan.endMarker != PatchEndTruncate || MoveField(bytes + scan.endMarkerOffset + 3, delta, true);
}

PatchResult ApplyPatchVariants(const uint8_t* mainBlock, uint32_t mainSize, const PayloadExtension& extension,
                               int32_t only, const ByteString& targetPath, PatchRunHooks* hooks,
                               PatchRunReport* report) {
    if (extension.variantCount == 0)
        return ApplyPatchBlock(mainBlock, mainSize, targetPath, hooks, report,
                               extension.hasFacts ? &extension.facts : nullptr);
    PatchRunReport local;
    PatchRunReport* r = FreshReport(report, &local);
    RunHost host = StartRunHost(hooks);  // the time told counts from here
    host.tellLater = true;               // the end is told once the result is checked
    SetLastFileError(0);
    VariantRunDetails& found = r->variant;
    found.count = static_cast<uint8_t>(extension.variantCount);
    if (only >= static_cast<int32_t>(extension.variantCount)) only = -1;

    // 1. The one read of the target, standing in for the route's own check
    //    of size and CRC-32 (the route is given no facts): which variant's
    //    file it is. The bar: this read, an IPS backup's read and write,
    //    and the writes, planned on the first chunk.
    uint32_t pick = only >= 0 ? only : 0, size;
    const uint8_t* block = VariantBlock(extension, pick, mainBlock, mainSize, &size);
    host.phase = PhaseIdentify;
    host.weight[PhaseIdentify] = 1;
    host.weight[PhaseCopy] = IdentifyPatchFormat(block, size) == PatchFormatIps && host.WantsBackup();
    host.weight[PhaseWrite] = (size >> 10) + 1;
    TargetIdentity id;
    if (!ReadIdentity(targetPath, &id, host)) {
        r->openFailed = true;
        host.tellLater = false;
        return FinishRun(host, r, PatchResultWriteFailed);
    }
    found.foundSize = id.size;
    found.foundCrc = id.crc;
    const VariantMatch match = MatchVariant(extension.variants, extension.variantCount, id, only);
    if (match.index >= 0) {
        found.matched = true;
        found.chosen = static_cast<uint8_t>(match.index);
        found.header = match.header;
        pick = match.index;
        block = VariantBlock(extension, pick, mainBlock, mainSize, &size);
    }
    r->format = IdentifyPatchFormat(block, size);
    host.tellLater = false;

    // 2. What it is decides the rest: a result is left alone; a file that
    //    is none of them is refused for BPS (a patch on another file makes
    //    garbage) and asked about for IPS.
    if (match.isResult) return FinishRun(host, r, PatchResultAlreadyPatched);
    if (match.index < 0) {
        if (r->format == PatchFormatBps) return FinishRun(host, r, PatchResultWrongSource);
        if (!hooks || !hooks->ProceedWithUnknownTarget()) return FinishRun(host, r, PatchResultDeclined);
    }
    ByteString shifted;
    if (match.index >= 0 && match.header != HeaderAsMade) {
        // BPS makes the whole file, header and all: not moved.
        if (r->format != PatchFormatIps || !ShiftIpsBlock(block, size, match.header, &shifted))
            return FinishRun(host, r, PatchResultHeaderRefused);
        block = reinterpret_cast<const uint8_t*>(shifted.Data());
        size = shifted.Length();
    }

    // 3. The variant's own run, then its result checked before success is
    //    told: the file as the variant's result, with its header state.
    host.phase = PhaseWrite;
    host.tellLater = true;
    PatchResult result = r->format == PatchFormatBps ? BpsApplyBlock(block, size, targetPath, host, r)
                                                     : IpsApplyBlock(block, size, targetPath, host, r, nullptr);
    HeaderState after;
    if (result == PatchResultDone && match.index >= 0) {
        const PatchVariant& v = extension.variants[pick];
        if (!ReadIdentity(targetPath, &id, host) ||
            !IsFile(id, v.facts.resultSize, v.facts.resultCrc, v.resultBodyCrc, &after) || after != match.header)
            result = PatchResultWrongResult;
        r->elapsedMs = TickCount() - host.start;
    }
    host.tellLater = false;
    return FinishRun(host, r, result);
}
