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
    free(tail_);
}


bool TargetWriter::WriteChanges(ByteStream* target, const ChangeMap& map, uint64_t finalSize,
                                WriteProgressFunction progress, void* context) {
    map_ = &map;
    oldSize_ = StreamGetSize64(target);
    oldEnd_ = oldSize_ > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(oldSize_);
    bytesCapacity_ = KeptBytesAtMost(map, oldEnd_);
    const uint32_t span = map.End() - map.Begin();
    bytes_ = static_cast<uint8_t*>(malloc(bytesCapacity_ ? bytesCapacity_ : 1));
    windowSize_ = span < ChangeMap::kWindowSize ? span + 1 : ChangeMap::kWindowSize;
    window_ = static_cast<uint8_t*>(malloc(windowSize_));
    if (!bytes_ || !window_) return false;
    if (finalSize > oldSize_) {
        sizeChanged_ = true;
        if (!StreamSetSize(target, finalSize) || StreamGetSize64(target) != finalSize) return false;
    }
    for (uint32_t w = 0; w < map.WindowCount() && map.WindowBegin(w) < finalSize; ++w) {
        if (!WriteWindow(target, map, w, finalSize)) return false;
        if (progress) {
            const uint32_t done = map.WindowEnd(w) < finalSize ? map.WindowEnd(w) : static_cast<uint32_t>(finalSize);
            progress(context, done - map.Begin(), span);
        }
    }
    return true;
}

// One window, below finalSize: its ranges are read into the buffer, its
// records copied over the buffer with the old bytes kept, and the ranges
// written back. Bytes between the changes of a range go back as they were
// read.
bool TargetWriter::WriteWindow(ByteStream* target, const ChangeMap& map, uint32_t w, uint64_t finalSize) {
    windowBegin_ = map.WindowBegin(w);
    limit_ = map.WindowEnd(w) < finalSize ? map.WindowEnd(w) : static_cast<uint32_t>(finalSize);
    if (!FindRanges(map, limit_) || !ReadRanges(target)) return false;
    KeptWindow& kept = keptWindows_[keptWindowCount_++];
    kept = KeptWindow{w, oldEnd_ < limit_ ? oldEnd_ : limit_, 0, keptCount_, keptCount_, bytesUsed_};
    // The old bytes are kept record by record, just before each record goes
    // over them: an undo log, put back newest first, so every byte ends as
    // the first record found it. Where the records overlap so much that
    // they would keep more than the ranges hold, the ranges are kept whole.
    const bool keepRanges = map.WindowRecordBytes(w) > OldBytesInRanges();
    if (keepRanges && !KeepRanges(kept)) return false;
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
        const uint32_t oldEnd = stop < oldEnd_ ? stop : oldEnd_;
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
    for (uint32_t i = 0; i < rangeCount_ && ranges_[i].start < oldEnd_; ++i)
        total += (ranges_[i].stop < oldEnd_ ? ranges_[i].stop : oldEnd_) - ranges_[i].start;
    return total;
}

bool TargetWriter::KeepRanges(KeptWindow& kept) {
    for (uint32_t i = 0; i < rangeCount_ && ranges_[i].start < oldEnd_; ++i) {
        const uint32_t start = ranges_[i].start;
        const uint32_t length = (ranges_[i].stop < oldEnd_ ? ranges_[i].stop : oldEnd_) - start;
        if (!Grow(kept_, keptCapacity_, keptCount_ + 1) || bytesCapacity_ - bytesUsed_ < length) return false;
        kept_[keptCount_++] = Kept{start, length};
        memcpy(bytes_ + bytesUsed_, window_ + (start - windowBegin_), length);
        bytesUsed_ += length;
        kept.entryEnd = keptCount_;
        kept.bytesEnd = bytesUsed_;
    }
    return true;
}

// The bytes a record is about to replace, as far as the file had them and
// the ranges go (a record past a cut end is laid over the buffer but never
// written).
bool TargetWriter::KeepUnderRecord(void* context, uint32_t offset, uint32_t count, const uint8_t* current) {
    TargetWriter* self = static_cast<TargetWriter*>(context);
    KeptWindow& kept = self->keptWindows_[self->keptWindowCount_ - 1];
    const uint32_t length = offset >= kept.keptEnd ? 0 : count < kept.keptEnd - offset ? count : kept.keptEnd - offset;
    if (self->bytesCapacity_ - self->bytesUsed_ < length) return false;
    memcpy(self->bytes_ + self->bytesUsed_, current, length);
    self->bytesUsed_ += length;
    kept.bytesEnd = self->bytesUsed_;
    ++kept.records;
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

bool TargetWriter::CutTo(ByteStream* target, uint64_t finalSize) {
    const uint64_t size = StreamGetSize64(target);
    if (finalSize >= size) return true;
    if (size - finalSize <= kMaxKeptTail && !KeepTail(target, finalSize, size)) return false;
    // A refused resize leaves the file as it was; after one that went
    // through, the cut bytes are gone (but for tail_) whatever the size
    // reads back as.
    if (!StreamSetSize(target, finalSize)) return false;
    sizeChanged_ = cut_ = true;
    return StreamGetSize64(target) == finalSize;
}

// The bytes from `from` (below 16 MiB: a truncation's size) to the end,
// read before they are cut. False when they cannot be read or held: the
// cut is then not made, and the run fails with the file as it was.
bool TargetWriter::KeepTail(ByteStream* target, uint64_t from, uint64_t size) {
    tailStart_ = static_cast<uint32_t>(from);
    tailLength_ = static_cast<uint32_t>(size - from);
    tail_ = static_cast<uint8_t*>(malloc(tailLength_));
    return tail_ && SeekTo(target, tailStart_) && StreamRead(target, tail_, tailLength_) == tailLength_;
}

// After the old size is back: the cut bytes written where they were.
bool TargetWriter::RestoreTail(ByteStream* target) {
    return tail_ && SeekTo(target, tailStart_) && StreamWrite(target, tail_, tailLength_) == tailLength_;
}

// Each window's kept bytes go back in one piece: the stretch they cover is
// read, they are laid over it newest first (the undo log's order: every
// byte ends as the oldest piece had it), and it is written once. A
// 200,000-record patch is put back with a few dozen calls, not 400,000.
bool TargetWriter::Restore(ByteStream* target) {
    bool restored = true;
    for (uint32_t i = keptWindowCount_; i > 0; --i)
        if (!RestoreWindow(target, keptWindows_[i - 1])) restored = false;
    if (sizeChanged_ && (!StreamSetSize(target, oldSize_) || StreamGetSize64(target) != oldSize_))
        restored = false;
    if (cut_ && !RestoreTail(target)) restored = false;
    return restored;
}

uint32_t TargetWriter::KeptPieces(const KeptWindow& kept) const {
    return kept.records ? kept.records : kept.entryEnd - kept.firstEntry;
}

// The length of a window's k-th kept piece, and where it goes: a record's
// part of the window, found again in the map and cut as it was kept, or a
// range's entry.
uint32_t TargetWriter::KeptPiece(const KeptWindow& kept, uint32_t k, uint32_t* offset) const {
    if (kept.records == 0) {
        *offset = kept_[kept.firstEntry + k].offset;
        return kept_[kept.firstEntry + k].length;
    }
    ChangeMap::Part part;
    if (!map_->WindowPart(kept.window, k, &part) || part.offset >= kept.keptEnd) return 0;
    *offset = part.offset;
    return part.count < kept.keptEnd - part.offset ? part.count : kept.keptEnd - part.offset;
}

// Piece by piece when the stretch cannot be read back.
bool TargetWriter::RestoreWindow(ByteStream* target, const KeptWindow& kept) {
    const uint32_t pieces = KeptPieces(kept);
    uint32_t low = 0xFFFFFFFFu, high = 0, offset;
    for (uint32_t k = 0; k < pieces; ++k) {
        const uint32_t length = KeptPiece(kept, k, &offset);
        if (length == 0) continue;
        if (offset < low) low = offset;
        if (offset + length > high) high = offset + length;
    }
    if (high == 0) return true;  // nothing was kept
    const bool whole = window_ && high - low <= windowSize_ && SeekTo(target, low) &&
                       StreamRead(target, window_, high - low) == high - low;
    bool restored = true;
    uint32_t at = kept.bytesEnd;
    for (uint32_t k = pieces; k > 0; --k) {
        const uint32_t length = KeptPiece(kept, k - 1, &offset);
        if (length == 0) continue;
        at -= length;
        if (whole)
            memcpy(window_ + (offset - low), bytes_ + at, length);
        else if (!SeekTo(target, offset) || StreamWrite(target, bytes_ + at, length) != length)
            restored = false;
    }
    return whole ? SeekTo(target, low) && StreamWrite(target, window_, high - low) == high - low : restored;
}
