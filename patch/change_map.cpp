#include "patch/change_map.h"

#include <stdlib.h>
#include <string.h>

namespace {

const uint32_t kWindowShift = 20;  // kWindowSize == 1 << kWindowShift
const uint32_t kBlockShift = 14;   // kBlockSize == 1 << kBlockShift
const uint32_t kPulseEvery = 4096;  // records between pulses
// A window's records lie scattered through the block, in ascending order;
// fetching a few ahead hides most of the cache misses of walking them.
const uint32_t kPrefetchAhead = 8;

static_assert(ChangeMap::kWindowSize == 1u << kWindowShift, "window shift");
static_assert(ChangeMap::kBlockSize == 1u << kBlockShift, "block shift");
static_assert(ChangeMap::kWindowSize % ChangeMap::kBlockSize == 0, "no block crosses a window's edge");

}  // namespace

ChangeMap::~ChangeMap() {
    for (Window& window : windows_) free(window.positions);
    free(blocks_);
    free(marks_);
}

uint32_t ChangeMap::WindowBegin(uint32_t w) const {
    const uint32_t edge = (firstWindow_ + w) << kWindowShift;
    return edge > begin_ ? edge : begin_;
}

uint32_t ChangeMap::WindowEnd(uint32_t w) const {
    const uint32_t edge = (firstWindow_ + w + 1) << kWindowShift;
    return edge < end_ ? edge : end_;
}

void ChangeMap::Pulse(uint32_t done) const {
    if (done % kPulseEvery == 0 && pulse_) pulse_(context_);
}

bool ChangeMap::Gather(const uint8_t* block, const PatchScan& scan, ScanPulse pulse, void* context,
                       uint32_t markEvery) {
    if (!scan.valid) return false;
    block_ = block;
    scan_ = scan;
    pulse_ = pulse;
    context_ = context;
    markEvery_ = markEvery;
    if (scan.highestEnd <= scan.lowestOffset) return true;  // no record writes a byte: no window
    begin_ = scan.lowestOffset;
    end_ = scan.highestEnd;
    firstWindow_ = begin_ >> kWindowShift;
    windowCount_ = ((end_ - 1) >> kWindowShift) - firstWindow_ + 1;
    if (end_ <= kMaxBlocks * kBlockSize && ListRecords()) return true;
    // Refused: an empty map, which changes nothing.
    begin_ = end_ = windowCount_ = 0;
    return false;
}

// Called once per record part, so the common case stays inline; the
// list grows elsewhere.
inline bool ChangeMap::AddToWindow(uint32_t w, uint32_t position, uint32_t bytes) {
    Window& window = windows_[w];
    if (window.count == window.capacity && !GrowWindow(window)) return false;
    window.positions[window.count++] = position;
    window.bytes += bytes;
    return true;
}

bool ChangeMap::GrowWindow(Window& window) {
    // First the window's share of the records and a quarter more, so a
    // patch spread evenly never copies its lists; then doubling.
    const uint32_t share = scan_.recordCount / windowCount_ + scan_.recordCount / windowCount_ / 4;
    const uint32_t grown = window.capacity == 0 ? (share > 16 ? share : 16) : window.capacity * 2;
    if (grown > 0x3FFFFFFFu) return false;
    uint32_t* moved = static_cast<uint32_t*>(realloc(window.positions, grown * sizeof(uint32_t)));
    if (!moved) return false;
    window.positions = moved;
    window.capacity = grown;
    return true;
}

// The blocks [offset, end) touches hold changes; the first and the last
// of them learn where.
void ChangeMap::MarkBlocks(uint32_t offset, uint32_t end) {
    const uint32_t firstBlock = offset >> kBlockShift, lastBlock = (end - 1) >> kBlockShift;
    for (uint32_t b = firstBlock; b <= lastBlock; ++b) {
        Block& block = blocks_[b - firstBlock_];
        const uint32_t from = b == firstBlock ? offset : b << kBlockShift;
        const uint32_t to = b == lastBlock ? end : (b + 1) << kBlockShift;
        if (block.end == 0 || from < block.first) block.first = from;
        if (to > block.end) block.end = to;
    }
}

// One pass in block order: each record's blocks, and its place in the list
// of each window it reaches into (one or two: a record is at most 65,535
// bytes, a window 1 MiB).
bool ChangeMap::ListRecords() {
    firstBlock_ = begin_ >> kBlockShift;
    blocks_ = static_cast<Block*>(calloc(((end_ - 1) >> kBlockShift) - firstBlock_ + 1, sizeof(Block)));
    const uint32_t marks = markEvery_ ? scan_.dataRecords / markEvery_ : 0;
    marks_ = static_cast<uint32_t*>(malloc(marks ? marks * sizeof(uint32_t) : 1));
    if (!blocks_ || !marks_) return false;
    uint32_t position = kIpsHeaderSize, records = 0, untilMark = markEvery_;
    IpsRecord record;
    for (uint32_t at = position; NextIpsRecord(block_, scan_, &position, &record); at = position) {
        Pulse(++records);
        if (record.data && markCount_ < marks && --untilMark == 0) {
            marks_[markCount_++] = position;
            untilMark = markEvery_;
        }
        if (record.length == 0) continue;
        const uint32_t end = record.offset + record.length;
        MarkBlocks(record.offset, end);
        const uint32_t w = (record.offset >> kWindowShift) - firstWindow_;
        const uint32_t edge = (firstWindow_ + w + 1) << kWindowShift;
        if (end <= edge) {
            if (!AddToWindow(w, at, record.length)) return false;
        } else if (!AddToWindow(w, at, edge - record.offset) || !AddToWindow(w + 1, at, end - edge)) {
            return false;
        }
    }
    return true;
}

bool ChangeMap::WindowPart(uint32_t w, uint32_t i, Part* part) const {
    uint32_t position = windows_[w].positions[i];
    IpsRecord record;
    if (!NextIpsRecord(block_, scan_, &position, &record)) return false;
    const uint32_t windowBegin = WindowBegin(w), windowEnd = WindowEnd(w);
    const uint32_t first = record.offset > windowBegin ? record.offset : windowBegin;
    const uint32_t end = record.offset + record.length;
    part->offset = first;
    part->count = (end < windowEnd ? end : windowEnd) - first;
    part->data = record.data ? record.data + (first - record.offset) : nullptr;
    part->value = record.value;
    return true;
}

bool ChangeMap::ApplyWindow(uint32_t w, uint8_t* bytes) const {
    const uint32_t windowBegin = WindowBegin(w);
    const Window& window = windows_[w];
    for (uint32_t i = 0; i < window.count; ++i) {
        if (i + kPrefetchAhead < window.count) __builtin_prefetch(block_ + window.positions[i + kPrefetchAhead]);
        Part part;
        if (!WindowPart(w, i, &part)) return false;  // a map that does not match its block
        uint8_t* at = bytes + (part.offset - windowBegin);
        if (part.data)
            memcpy(at, part.data, part.count);
        else
            memset(at, part.value, part.count);
        Pulse(i + 1);
    }
    return true;
}

bool ChangeMap::LastRecord(IpsRecord* record) const {
    bool found = false;
    uint32_t last = 0;
    for (uint32_t w = 0; w < windowCount_; ++w) {
        const Window& window = windows_[w];
        if (window.count > 0 && (!found || window.positions[window.count - 1] > last)) {
            last = window.positions[window.count - 1];
            found = true;
        }
    }
    return found && NextIpsRecord(block_, scan_, &last, record);
}

bool ChangeMap::NextRange(uint32_t from, uint32_t limit, uint32_t* start, uint32_t* stop) const {
    if (limit > end_) limit = end_;
    if (from < begin_) from = begin_;
    if (from >= limit) return false;
    // Block numbers counted from the span's first block.
    const uint32_t last = ((limit - 1) >> kBlockShift) - firstBlock_;
    uint32_t b = (from >> kBlockShift) - firstBlock_;
    while (b <= last && blocks_[b].end <= from) ++b;  // no change at or after `from` in it
    if (b > last) return false;
    const uint32_t first = blocks_[b].first > from ? blocks_[b].first : from;
    if (first >= limit) return false;
    while (b < last && blocks_[b + 1].end != 0) ++b;
    *start = first;
    *stop = blocks_[b].end < limit ? blocks_[b].end : limit;
    return true;
}
