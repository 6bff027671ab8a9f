#include "patch/patch_variants.h"

#include <string.h>

#include "base/byte_order.h"
#include "patch/ips_patch.h"
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

// The run's hooks as the chosen variant's run sees them: the bar from where
// identification left it, and the end told by the entry itself, once the
// result has been checked.
class VariantHooks : public PatchRunHooks {
public:
    explicit VariantHooks(PatchRunHooks* outer) : outer_(outer), from_(0) {}
    bool WantsBackup() override { return outer_ && outer_->WantsBackup(); }
    // ProceedWithUnknownTarget is never asked: the run is given no facts,
    // the entry asks its host itself.
    void Progress(uint32_t percent) override {
        if (outer_) outer_->Progress(from_ + percent * (100 - from_) / 100);
    }
    void StillWorking() override {
        if (outer_) outer_->StillWorking();
    }
    void Finished(const PatchRunReport&) override {}

    // Identification takes the bar up to `share`.
    static void Identifying(void* context, uint32_t done, uint32_t total) {
        VariantHooks* self = static_cast<VariantHooks*>(context);
        self->StillWorking();
        // By 1 KiB, so the product stays within 32 bits.
        if (self->outer_) self->outer_->Progress((done >> 10) * self->share_ / ((total >> 10) + 1));
    }
    static void Checking(void* context, uint32_t, uint32_t) { static_cast<VariantHooks*>(context)->StillWorking(); }

    PatchRunHooks* outer_;
    uint32_t from_;   // where the run's own bar begins
    uint32_t share_;  // identification's part of the bar
};

// The whole file read once: its size, CRC-32, and CRC-32 past the header.
bool ReadIdentity(const ByteString& targetPath, TargetIdentity* id, FileProgressFunction progress,
                  VariantHooks* hooks) {
    FileHandle file = OpenFileHandle(targetPath, OpenModeReadOnly);
    const bool read =
        IsValidFileHandle(file) && FileSizeAndCrcs(file, &id->size, &id->crc, &id->bodyCrc, progress, hooks);
    CloseFileHandle(file);
    return read;
}

// After the run: the file is the variant's result, with the header state
// it had (a header added is left out of the comparison).
bool ResultIsRight(const PatchVariant& v, HeaderState header, const ByteString& targetPath, VariantHooks* hooks) {
    TargetIdentity found;
    HeaderState state;
    return ReadIdentity(targetPath, &found, VariantHooks::Checking, hooks) &&
           IsFile(found, v.facts.resultSize, v.facts.resultCrc, v.resultBodyCrc, &state) && state == header;
}

// The share of the bar identification takes: it reads the file once; an
// IPS backup reads and writes it, a BPS run reads it and writes the result
// (its backup is a rename): a third either way. A small IPS write keeps a
// tenth.
uint32_t IdentifyShare(bool backup, bool bps) { return backup || bps ? 33 : 90; }

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

PatchResult Tell(PatchRunHooks* hooks, PatchRunReport* r, PatchResult result) {
    r->result = result;
    if (hooks) hooks->Finished(*r);
    return result;
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
    *out = ByteString(block, size);
    if (!ScanPatch(block, size, &scan) || out->Length() != size) return false;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(out->Data());
    const uint32_t delta = header == HeaderAdded ? CopierHeaderSize : 0u - CopierHeaderSize;
    uint32_t at = kIpsHeaderSize, next = kIpsHeaderSize;
    IpsRecord record;
    // A record that writes nothing may stay below the header: it is put at 0.
    for (; NextIpsRecord(block, scan, &next, &record); at = next)
        if (!MoveField(bytes + at, delta, record.length != 0)) return false;
    return scan.endMarker != PatchEndTruncate || MoveField(bytes + scan.endMarkerOffset + 3, delta, true);
}

PatchResult ApplyPatchVariants(const uint8_t* mainBlock, uint32_t mainSize, const PayloadExtension& extension,
                               int32_t only, const ByteString& targetPath, PatchRunHooks* hooks,
                               PatchRunReport* report) {
    if (extension.variantCount == 0)
        return ApplyPatchBlock(mainBlock, mainSize, targetPath, hooks, report,
                               extension.hasFacts ? &extension.facts : nullptr);
    const uint32_t start = TickCount();
    PatchRunReport local;
    PatchRunReport* r = report ? report : &local;
    memset(r, 0, sizeof *r);
    VariantRunDetails& found = r->variant;
    found.count = static_cast<uint8_t>(extension.variantCount);
    if (only >= static_cast<int32_t>(extension.variantCount)) only = -1;

    // 1. The one read of the target: which variant's file it is.
    VariantHooks inner(hooks);
    const bool backup = inner.WantsBackup();
    TargetIdentity id;
    uint32_t size, pick = only >= 0 ? only : 0;
    const uint8_t* block = VariantBlock(extension, pick, mainBlock, mainSize, &size);
    inner.share_ = IdentifyShare(backup, IdentifyPatchFormat(block, size) == PatchFormatBps);
    if (!ReadIdentity(targetPath, &id, VariantHooks::Identifying, &inner)) {
        r->openFailed = true;
        return Tell(hooks, r, PatchResultWriteFailed);
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

    // 2. What it is decides the rest.
    if (match.isResult) return Tell(hooks, r, PatchResultAlreadyPatched);
    if (match.index < 0) {
        // A BPS patch on another file makes garbage: nothing to ask.
        // (Its host names the variants and what was found.)
        if (r->format == PatchFormatBps) return Tell(hooks, r, PatchResultWrongSource);
        if (!hooks || !hooks->ProceedWithUnknownTarget()) return Tell(hooks, r, PatchResultDeclined);
    }
    ByteString shifted;
    if (match.index >= 0 && match.header != HeaderAsMade) {
        // BPS makes the whole file, header and all: not shifted.
        if (r->format != PatchFormatIps || !ShiftIpsBlock(block, size, static_cast<HeaderState>(match.header), &shifted))
            return Tell(hooks, r, PatchResultHeaderRefused);
        block = reinterpret_cast<const uint8_t*>(shifted.Data());
        size = shifted.Length();
    }

    // 3. The variant's own run, its facts already known (nothing read twice
    //    to identify), then its result checked before success is told.
    inner.from_ = inner.share_;
    const VariantRunDetails identified = found;  // the run starts its report afresh
    PatchResult result = ApplyPatchBlock(block, size, targetPath, &inner, r, nullptr);
    if (result == PatchResultDone && match.index >= 0 &&
        !ResultIsRight(extension.variants[pick], static_cast<HeaderState>(match.header), targetPath, &inner))
        result = PatchResultWrongResult;
    r->variant = identified;
    if (result == PatchResultDone) r->elapsedMs = TickCount() - start;
    return Tell(hooks, r, result);
}
