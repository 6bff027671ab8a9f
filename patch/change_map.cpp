#include "patch/change_map.h"

#include <stdlib.h>
#include <string.h>

namespace {

const uint32_t kAllBits = 0xFFFFFFFFu;

// Bits [first, first + count) of a word array set, a word at a time.
void SetBits(uint32_t* words, uint32_t first, uint32_t count) {
    while (count > 0) {
        const uint32_t shift = first & 31;
        const uint32_t take = count < 32 - shift ? count : 32 - shift;
        const uint32_t mask = take == 32 ? kAllBits : ((1u << take) - 1) << shift;
        words[first >> 5] |= mask;
        first += take;
        count -= take;
    }
}

// The first bit at or after `from` (and before `limit`) that equals `value`;
// limit when there is none. A word at a time: bits of the other value are
// flipped away and the lowest remaining one is counted.
uint32_t FindBit(const uint32_t* words, uint32_t from, uint32_t limit, bool value) {
    if (from >= limit) return limit;
    const uint32_t flip = value ? 0 : kAllBits;
    uint32_t index = from >> 5;
    uint32_t word = (words[index] ^ flip) & (kAllBits << (from & 31));
    const uint32_t lastIndex = (limit - 1) >> 5;
    while (word == 0) {
        if (++index > lastIndex) return limit;
        word = words[index] ^ flip;
    }
    const uint32_t found = (index << 5) + static_cast<uint32_t>(__builtin_ctz(word));
    return found < limit ? found : limit;
}

}  // namespace

ChangeMap::~ChangeMap() {
    free(image_);
    free(changed_);
}

bool ChangeMap::Reserve(const PatchScan& scan) {
    free(image_);
    free(changed_);
    image_ = nullptr;
    changed_ = nullptr;
    begin_ = end_ = 0;
    if (scan.highestEnd <= scan.lowestOffset) return true;  // no record writes a byte
    const uint32_t span = scan.highestEnd - scan.lowestOffset;
    // calloc: the pages a sparse patch never touches stay unbacked.
    image_ = static_cast<uint8_t*>(calloc(span, 1));
    changed_ = static_cast<uint32_t*>(calloc(span / 32 + 1, sizeof(uint32_t)));
    if (!image_ || !changed_) {
        free(image_);
        free(changed_);
        image_ = nullptr;
        changed_ = nullptr;
        return false;
    }
    begin_ = scan.lowestOffset;
    end_ = scan.highestEnd;
    return true;
}

void ChangeMap::Apply(const IpsRecord& record) {
    if (record.length == 0 || record.offset < begin_ || record.offset > end_ ||
        record.length > end_ - record.offset)
        return;
    const uint32_t at = record.offset - begin_;
    if (record.data)
        memcpy(image_ + at, record.data, record.length);
    else
        memset(image_ + at, record.value, record.length);
    SetBits(changed_, at, record.length);
}

bool ChangeMap::Gather(const uint8_t* block, const PatchScan& scan, ScanPulse pulse, void* context) {
    if (!scan.valid || !Reserve(scan)) return false;
    uint32_t position = 5, records = 0;  // after "PATCH"
    IpsRecord record;
    while (NextIpsRecord(block, scan, &position, &record)) {
        Apply(record);
        if (++records % 4096 == 0 && pulse) pulse(context);
    }
    return true;
}

bool ChangeMap::IsChanged(uint32_t offset) const {
    if (offset < begin_ || offset >= end_) return false;
    const uint32_t at = offset - begin_;
    return (changed_[at >> 5] >> (at & 31)) & 1u;
}

bool ChangeMap::NextChangedRun(uint32_t from, uint32_t* start, uint32_t* stop) const {
    if (from < begin_) from = begin_;
    if (from >= end_) return false;
    const uint32_t limit = end_ - begin_;
    const uint32_t first = FindBit(changed_, from - begin_, limit, true);
    if (first == limit) return false;
    *start = begin_ + first;
    *stop = begin_ + FindBit(changed_, first, limit, false);
    return true;
}
