#include "patch/target_writer.h"

#include <stdlib.h>
#include <string.h>

#include "patch/byte_stream.h"
#include "patch/change_map.h"

namespace {

// Positions of a patch are below 0x1010000, well inside a signed seek.
bool SeekTo(ByteStream* target, uint32_t position) {
    return SetStreamPosition(target, static_cast<int32_t>(position)) == position;
}

// Makes room for `needed` entries, doubling; false (unchanged) when the
// heap refuses.
template <class T>
bool Grow(T*& block, uint32_t& capacity, uint32_t needed) {
    if (needed <= capacity) return true;
    uint64_t grown = capacity < 64 ? 64 : capacity;
    while (grown < needed) grown *= 2;
    if (grown * sizeof(T) > 0x7FFFFFFFu) return false;
    T* moved = static_cast<T*>(realloc(block, static_cast<size_t>(grown * sizeof(T))));
    if (!moved) return false;
    block = moved;
    capacity = static_cast<uint32_t>(grown);
    return true;
}

// The kept bytes are old bytes under the records: in a window never more
// than its records write, nor than the window holds below the old end
// (where its ranges are kept whole), so never more than the span. Room for
// all of them is taken at once.
uint32_t KeptBytesAtMost(const ChangeMap& map, uint32_t oldSize) {
    uint32_t total = 0;
    for (uint32_t w = 0; w < map.WindowCount(); ++w) {
        const uint32_t end = map.WindowEnd(w) < oldSize ? map.WindowEnd(w) : oldSize;
        const uint32_t held = end > map.WindowBegin(w) ? end - map.WindowBegin(w) : 0;
        total += map.WindowRecordBytes(w) < held ? static_cast<uint32_t>(map.WindowRecordBytes(w)) : held;
    }
    return total;
}

}  // namespace

TargetWriter::~TargetWriter() {
    free(kept_);
    free(bytes_);
    free(window_);
    free(ranges_);
}

uint8_t* TargetWriter::Keep(uint32_t offset, uint32_t length) {
    if ((keptCount_ == keptCapacity_ && !Grow(kept_, keptCapacity_, keptCount_ + 1)) ||
        bytesCapacity_ - bytesUsed_ < length)
        return nullptr;
    Kept& entry = kept_[keptCount_++];
    entry.offset = offset;
    entry.length = length;
    bytesUsed_ += length;
    return bytes_ + bytesUsed_ - length;
}

bool TargetWriter::WriteChanges(ByteStream* target, const ChangeMap& map, uint32_t finalSize,
                                WriteProgressFunction progress, void* context) {
    oldSize_ = StreamGetSize(target);
    bytesCapacity_ = KeptBytesAtMost(map, oldSize_);
    const uint32_t span = map.End() - map.Begin();
    bytes_ = static_cast<uint8_t*>(malloc(bytesCapacity_ ? bytesCapacity_ : 1));
    // One kept entry per record part at most (a range holds at least one):
    // room for all of them at once, rather than a copy at every doubling.
    uint32_t parts = 0;
    for (uint32_t w = 0; w < map.WindowCount(); ++w) parts += map.WindowRecordCount(w);
    if (parts > 0x7FFFFFFFu / sizeof(Kept)) return false;
    kept_ = static_cast<Kept*>(malloc(parts ? parts * sizeof(Kept) : sizeof(Kept)));
    keptCapacity_ = kept_ ? parts : 0;
    windowSize_ = span < ChangeMap::kWindowSize ? span + 1 : ChangeMap::kWindowSize;
    window_ = static_cast<uint8_t*>(malloc(windowSize_));
    if (!bytes_ || !kept_ || !window_) return false;
    if (finalSize > oldSize_) {
        sizeChanged_ = true;
        if (!StreamSetSize(target, finalSize) || StreamGetSize(target) != finalSize) return false;
    }
    for (uint32_t w = 0; w < map.WindowCount() && map.WindowBegin(w) < finalSize; ++w) {
        if (!WriteWindow(target, map, w, finalSize)) return false;
        if (progress) {
            const uint32_t done = map.WindowEnd(w) < finalSize ? map.WindowEnd(w) : finalSize;
            progress(context, done - map.Begin(), span);
        }
    }
    return true;
}

// One window, below finalSize: its ranges are read into the buffer, its
// records copied over the buffer with the old bytes kept, and the ranges
// written back. Bytes between the changes of a range go back as they were
// read.
bool TargetWriter::WriteWindow(ByteStream* target, const ChangeMap& map, uint32_t w, uint32_t finalSize) {
    windowBegin_ = map.WindowBegin(w);
    limit_ = map.WindowEnd(w) < finalSize ? map.WindowEnd(w) : finalSize;
    if (!FindRanges(map, limit_) || !ReadRanges(target)) return false;
    // The old bytes are kept record by record, just before each record goes
    // over them: an undo log, put back newest first, so every byte ends as
    // the first record found it. Where the records overlap so much that
    // they would keep more than the ranges hold, the ranges are kept whole.
    const bool keepRanges = map.WindowRecordBytes(w) > OldBytesInRanges();
    if (keepRanges && !KeepRanges()) return false;
    return map.ApplyWindow(w, window_, keepRanges ? nullptr : KeepUnderRecord, this) && WriteRanges(target);
}

bool TargetWriter::FindRanges(const ChangeMap& map, uint32_t limit) {
    rangeCount_ = 0;
    uint32_t from = windowBegin_, start, stop;
    while (map.NextRange(from, limit, &start, &stop)) {
        if (!Grow(ranges_, rangeCapacity_, rangeCount_ + 1)) return false;
        ranges_[rangeCount_++] = Range{start, stop};
        from = stop;
    }
    return true;
}

// Each range's bytes into the buffer; past the old end they are zero, as
// the file system fills a gap.
bool TargetWriter::ReadRanges(ByteStream* target) {
    const uint32_t windowBegin = windowBegin_;
    for (uint32_t i = 0; i < rangeCount_; ++i) {
        const uint32_t start = ranges_[i].start, stop = ranges_[i].stop;
        const uint32_t oldEnd = stop < oldSize_ ? stop : oldSize_;
        if (start < oldEnd && (!SeekTo(target, start) ||
                               StreamRead(target, window_ + (start - windowBegin), oldEnd - start) != oldEnd - start))
            return false;
        const uint32_t zeroFrom = start > oldEnd ? start : oldEnd;
        if (stop > zeroFrom) memset(window_ + (zeroFrom - windowBegin), 0, stop - zeroFrom);
    }
    return true;
}

uint32_t TargetWriter::OldBytesInRanges() const {
    uint32_t total = 0;
    for (uint32_t i = 0; i < rangeCount_ && ranges_[i].start < oldSize_; ++i)
        total += (ranges_[i].stop < oldSize_ ? ranges_[i].stop : oldSize_) - ranges_[i].start;
    return total;
}

bool TargetWriter::KeepRanges() {
    for (uint32_t i = 0; i < rangeCount_ && ranges_[i].start < oldSize_; ++i) {
        const uint32_t start = ranges_[i].start;
        const uint32_t stop = ranges_[i].stop < oldSize_ ? ranges_[i].stop : oldSize_;
        uint8_t* old = Keep(start, stop - start);
        if (!old) return false;
        memcpy(old, window_ + (start - windowBegin_), stop - start);
    }
    return true;
}

// The bytes a record is about to replace, as far as the file had them and
// the ranges go (a record past a cut end is laid over the buffer but never
// written).
bool TargetWriter::KeepUnderRecord(void* context, uint32_t offset, uint32_t count, const uint8_t* current) {
    TargetWriter* self = static_cast<TargetWriter*>(context);
    const uint32_t keptEnd = self->oldSize_ < self->limit_ ? self->oldSize_ : self->limit_;
    if (offset >= keptEnd) return true;
    const uint32_t length = count < keptEnd - offset ? count : keptEnd - offset;
    uint8_t* old = self->Keep(offset, length);
    if (!old) return false;
    memcpy(old, current, length);
    return true;
}

bool TargetWriter::WriteRanges(ByteStream* target) {
    const uint32_t windowBegin = windowBegin_;
    for (uint32_t i = 0; i < rangeCount_; ++i) {
        const uint32_t start = ranges_[i].start, length = ranges_[i].stop - start;
        if (!SeekTo(target, start) || StreamWrite(target, window_ + (start - windowBegin), length) != length)
            return false;
    }
    return true;
}

bool TargetWriter::CutTo(ByteStream* target, uint32_t finalSize) {
    if (finalSize >= StreamGetSize(target)) return true;
    // A refused resize leaves the file as it was; after one that went
    // through, the cut bytes are gone whatever the size reads back as.
    if (!StreamSetSize(target, finalSize)) return false;
    sizeChanged_ = cut_ = true;
    return StreamGetSize(target) == finalSize;
}

// The kept entries of one window lie next to each other (the windows are
// written in turn), so they go back one window at a time: the stretch they
// cover is read, they are laid over it newest first (the undo log's order:
// every byte ends as the oldest entry had it), and it is written once. A
// 200,000-record patch is put back with a few dozen calls, not 400,000.
bool TargetWriter::Restore(ByteStream* target) {
    bool restored = !cut_;
    uint32_t stop = keptCount_, at = bytesUsed_;
    while (stop > 0) {
        const uint32_t window = kept_[stop - 1].offset / ChangeMap::kWindowSize;
        uint32_t first = stop - 1, groupBytes = kept_[first].length;
        while (first > 0 && kept_[first - 1].offset / ChangeMap::kWindowSize == window)
            groupBytes += kept_[--first].length;
        if (!RestoreWindow(target, first, stop, at)) restored = false;
        at -= groupBytes;
        stop = first;
    }
    if (sizeChanged_ && (!StreamSetSize(target, oldSize_) || StreamGetSize(target) != oldSize_))
        restored = false;
    return restored;
}

// Entries [first, stop), whose bytes end at `at` in bytes_. Entry by entry
// when the stretch cannot be read back.
bool TargetWriter::RestoreWindow(ByteStream* target, uint32_t first, uint32_t stop, uint32_t at) {
    uint32_t low = kept_[first].offset, high = low;
    for (uint32_t k = first; k < stop; ++k) {
        if (kept_[k].offset < low) low = kept_[k].offset;
        if (kept_[k].offset + kept_[k].length > high) high = kept_[k].offset + kept_[k].length;
    }
    const bool whole = window_ && high - low <= windowSize_ && SeekTo(target, low) &&
                       StreamRead(target, window_, high - low) == high - low;
    bool restored = true;
    for (uint32_t k = stop; k > first; --k) {
        const Kept& entry = kept_[k - 1];
        at -= entry.length;
        if (whole)
            memcpy(window_ + (entry.offset - low), bytes_ + at, entry.length);
        else if (!SeekTo(target, entry.offset) || StreamWrite(target, bytes_ + at, entry.length) != entry.length)
            restored = false;
    }
    return whole ? SeekTo(target, low) && StreamWrite(target, window_, high - low) == high - low : restored;
}
