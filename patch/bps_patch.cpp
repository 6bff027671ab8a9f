#include "patch/bps_patch.h"

#include <string.h>

#include "base/byte_order.h"
#include "patch/patch_format.h"
#include "patch/target_check.h"

namespace {

const uint32_t kSignatureSize = 4;  // "BPS1"
const uint32_t kFooterSize = 12;    // three CRC-32s
// No number a valid block holds reaches 2^35 (a length or a distance below
// 2^32, shifted by at most 2 bits); anything longer is refused before it
// could overflow.
const uint64_t kNumberLimit = 1ull << 35;

// A number at *position, not reaching past end. False when it is cut short
// or too large.
bool ReadNumber(const uint8_t* block, uint32_t end, uint32_t* position, uint64_t* value) {
    uint64_t result = 0;
    uint64_t place = 1;
    for (uint32_t p = *position; p < end; ++p) {
        const uint8_t byte = block[p];
        result += (byte & 0x7F) * place;
        if (byte & 0x80) {
            if (result >= kNumberLimit) return false;
            *position = p + 1;
            *value = result;
            return true;
        }
        place <<= 7;
        result += place;
        if (result >= kNumberLimit) return false;
    }
    return false;
}

bool Refuse(BpsScan* scan, BpsProblem problem, uint32_t action, uint32_t offset) {
    scan->valid = false;
    scan->problem = problem;
    scan->problemAction = action;
    scan->problemOffset = offset;
    return false;
}

// A size of the header: a number below 4 GiB.
bool ReadSize(const uint8_t* block, uint32_t end, uint32_t* position, uint32_t* size, BpsScan* scan) {
    const uint32_t at = *position;
    uint64_t value;
    if (!ReadNumber(block, end, position, &value)) return Refuse(scan, BpsProblemBadNumber, 0, at);
    if (value > 0xFFFFFFFFull) return Refuse(scan, BpsProblemTooLarge, 0, at);
    *size = static_cast<uint32_t>(value);
    return true;
}

// Moves a copy cursor by a signed distance: bit 0 of the number is the
// sign. False when the cursor would leave [0, limit].
bool MoveCursor(uint64_t number, uint32_t limit, uint32_t* cursor) {
    const uint64_t distance = number >> 1;
    if (number & 1) {
        if (distance > *cursor) return false;
        *cursor -= static_cast<uint32_t>(distance);
    } else {
        if (distance > limit - *cursor) return false;
        *cursor += static_cast<uint32_t>(distance);
    }
    return true;
}

}  // namespace

bool ReadBpsHeader(const uint8_t* block, uint32_t size, BpsScan* scan) {
    memset(scan, 0, sizeof *scan);
    if (IdentifyPatchFormat(block, size) != PatchFormatBps) return Refuse(scan, BpsProblemNoHeader, 0, 0);
    // Three one-byte sizes and the CRC-32s at the least.
    if (size < kSignatureSize + 3 + kFooterSize) return Refuse(scan, BpsProblemCutHeader, 0, kSignatureSize);
    BpsHeader& h = scan->header;
    const uint32_t end = size - kFooterSize;
    uint32_t p = kSignatureSize;
    uint32_t* const sizes[3] = {&h.sourceSize, &h.targetSize, &h.metadataSize};
    for (uint32_t* size : sizes)
        if (!ReadSize(block, end, &p, size, scan)) return false;
    if (h.metadataSize > end - p) return Refuse(scan, BpsProblemCutMetadata, 0, p);
    h.metadataOffset = p;
    h.actionsOffset = p + h.metadataSize;
    h.actionsEnd = end;
    h.sourceCrc = ReadLittleEndian(block + end, 4);
    h.targetCrc = ReadLittleEndian(block + end + 4, 4);
    h.patchCrc = ReadLittleEndian(block + end + 8, 4);
    scan->valid = true;
    return true;
}

bool NextBpsAction(const uint8_t* block, const BpsHeader& header, BpsCursor* cursor, BpsAction* action,
                   BpsProblem* problem) {
    *problem = BpsProblemNone;
    if (cursor->position >= header.actionsEnd) return false;
    uint32_t p = cursor->position;
    uint64_t number;
    if (!ReadNumber(block, header.actionsEnd, &p, &number)) {
        *problem = BpsProblemBadNumber;
        return false;
    }
    action->kind = static_cast<BpsActionKind>(number & 3);
    const uint64_t length = (number >> 2) + 1;
    action->data = nullptr;
    action->from = 0;
    if (length > header.targetSize - cursor->output) {
        *problem = BpsProblemPastTarget;
        return false;
    }
    action->length = static_cast<uint32_t>(length);
    switch (action->kind) {
    case BpsSourceRead:
        action->from = cursor->output;
        if (cursor->output > header.sourceSize || action->length > header.sourceSize - cursor->output)
            *problem = BpsProblemOutsideSource;
        break;
    case BpsTargetRead:
        action->data = block + p;
        if (action->length > header.actionsEnd - p) *problem = BpsProblemCutData;
        else p += action->length;
        break;
    case BpsSourceCopy:
    case BpsTargetCopy: {
        const bool fromSource = action->kind == BpsSourceCopy;
        uint32_t* at = fromSource ? &cursor->sourceAt : &cursor->targetAt;
        // The target cursor may only point at bytes already written; a copy
        // that overlaps the bytes it writes reads each one after it is made.
        const uint32_t limit = fromSource ? header.sourceSize : cursor->output;
        if (!ReadNumber(block, header.actionsEnd, &p, &number)) *problem = BpsProblemBadNumber;
        else if (!MoveCursor(number, limit, at) || (fromSource && action->length > limit - *at) ||
                 (!fromSource && *at >= limit))
            *problem = fromSource ? BpsProblemOutsideSource : BpsProblemOutsideTarget;
        action->from = *at;
        if (*problem == BpsProblemNone) *at += action->length;
        break;
    }
    }
    if (*problem != BpsProblemNone) return false;
    cursor->position = p;
    cursor->output += action->length;
    return true;
}

bool ScanBpsPatch(const uint8_t* block, uint32_t size, BpsScan* scan, ScanPulse pulse, void* context) {
    if (!ReadBpsHeader(block, size, scan)) return false;
    const BpsHeader& h = scan->header;
    if (Crc32Update(0, block, h.actionsEnd + 8) != h.patchCrc) return Refuse(scan, BpsProblemPatchCrc, 0, h.actionsEnd + 8);
    BpsCursor cursor = StartBpsActions(h);
    BpsAction action;
    BpsProblem problem;
    uint32_t number = 0;
    for (;;) {
        const uint32_t at = cursor.position;
        if (!NextBpsAction(block, h, &cursor, &action, &problem)) {
            if (problem != BpsProblemNone) return Refuse(scan, problem, number + 1, at);
            break;
        }
        ++scan->actionCount[action.kind];
        scan->actionBytes[action.kind] += action.length;
        if (++number % 4096 == 0 && pulse) pulse(context);
    }
    if (cursor.output != h.targetSize) return Refuse(scan, BpsProblemShortTarget, number, cursor.position);
    return true;
}

bool BpsApplyInMemory(const uint8_t* patch, uint32_t patchSize, const uint8_t* source, uint32_t sourceSize,
                      uint8_t* target, uint32_t targetSize, BpsProblem* problem) {
    BpsProblem local;
    if (!problem) problem = &local;
    BpsScan scan;
    if (!ScanBpsPatch(patch, patchSize, &scan)) {
        *problem = scan.problem;
        return false;
    }
    const BpsHeader& h = scan.header;
    *problem = BpsProblemSourceMismatch;
    if (sourceSize != h.sourceSize || Crc32Update(0, source, sourceSize) != h.sourceCrc) return false;
    *problem = BpsProblemTargetMismatch;
    if (targetSize != h.targetSize) return false;
    BpsCursor cursor = StartBpsActions(h);
    BpsAction a;
    while (NextBpsAction(patch, h, &cursor, &a, problem)) {
        uint8_t* out = target + cursor.output - a.length;
        switch (a.kind) {
        case BpsSourceRead:
        case BpsSourceCopy: memcpy(out, source + a.from, a.length); break;
        case BpsTargetRead: memcpy(out, a.data, a.length); break;
        case BpsTargetCopy:
            // Byte by byte: an overlapping copy repeats the bytes it has just made.
            for (uint32_t i = 0; i < a.length; ++i) out[i] = target[a.from + i];
            break;
        }
    }
    if (*problem != BpsProblemNone) return false;
    *problem = BpsProblemTargetMismatch;
    if (Crc32Update(0, target, targetSize) != h.targetCrc) return false;
    *problem = BpsProblemNone;
    return true;
}
