#include "patch/target_writer.h"

#include <stdlib.h>
#include <string.h>

#include "patch/byte_stream.h"
#include "patch/change_map.h"
#include "patch/target_check.h"

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

// Marks [from, to) in a window's bit per byte.
void MarkBits(uint8_t* bits, uint32_t from, uint32_t to) {
    for (; from < to && (from & 7); ++from) bits[from >> 3] |= static_cast<uint8_t>(1u << (from & 7));
    if (to - from >= 8) {
        memset(bits + (from >> 3), 0xFF, (to - from) >> 3);
        from += (to - from) & ~7u;
    }
    for (; from < to; ++from) bits[from >> 3] |= static_cast<uint8_t>(1u << (from & 7));
}

// The first bit at or after `from` (below `end`) that is `set`; end when none.
uint32_t NextBit(const uint8_t* bits, uint32_t from, uint32_t end, bool set) {
    const uint8_t skip = set ? 0x00 : 0xFF;  // a byte with nothing to find
    while (from < end) {
        if ((from & 7) == 0 && bits[from >> 3] == skip) {
            from += 8;
            continue;
        }
        if (((bits[from >> 3] >> (from & 7)) & 1) == set) return from;
        ++from;
    }
    return end;
}

}  // namespace

TargetWriter::~TargetWriter() {
    free(window_);
    free(written_);
    free(ranges_);
}

bool TargetWriter::WriteChanges(ByteStream* target, const ChangeMap& map, uint32_t finalSize, FileHandle journal,
                                WriteProgressFunction progress, void* context) {
    map_ = &map;
    finalSize_ = finalSize;
    oldSize_ = StreamGetSize(target);
    const uint32_t span = map.End() - map.Begin();
    windowSize_ = span < ChangeMap::kWindowSize ? span + 1 : ChangeMap::kWindowSize;
    window_ = static_cast<uint8_t*>(malloc(windowSize_));
    written_ = static_cast<uint8_t*>(malloc(windowSize_ / 8 + 1));
    if (!undo_.Start(journal, oldSize_, finalSize) || !window_ || !written_) return false;
    if (progress) progress(context, 0, span);
    if (!LogOldBytes(target, map, finalSize) || !undo_.Seal()) return false;
    touched_ = true;
    if (finalSize > oldSize_ && (!StreamSetSize(target, finalSize) || StreamGetSize(target) != finalSize))
        return false;
    for (uint32_t w = 0; w < map.WindowCount() && map.WindowBegin(w) < finalSize; ++w) {
        if (!WriteWindow(target, map, w, finalSize)) return false;
        if (progress) {
            const uint32_t done = map.WindowEnd(w) < finalSize ? map.WindowEnd(w) : finalSize;
            progress(context, done - map.Begin(), span);
        }
    }
    return true;
}

// Only bytes that stand in the file and stay below finalSize are written
// over: the rest is new (past the old end) or never written (past a cut).
bool TargetWriter::LogOldBytes(ByteStream* target, const ChangeMap& map, uint32_t finalSize) {
    const uint32_t limit = oldSize_ < finalSize ? oldSize_ : finalSize;
    for (uint32_t w = 0; w < map.WindowCount() && map.WindowBegin(w) < limit; ++w)
        if (!LogWindow(target, map, w, map.WindowEnd(w) < limit ? map.WindowEnd(w) : limit)) return false;
    return true;
}

// One window: its ranges read, the bytes its records write marked, and
// each stretch of marked bytes logged with its old contents. Unchanged
// bytes between changes are not logged, so putting back never writes them.
bool TargetWriter::LogWindow(ByteStream* target, const ChangeMap& map, uint32_t w, uint32_t limit) {
    windowBegin_ = map.WindowBegin(w);
    if (!FindRanges(map, limit) || !ReadRanges(target)) return false;
    const uint32_t end = limit - windowBegin_;
    memset(written_, 0, end / 8 + 1);
    ChangeMap::Part part;
    for (uint32_t i = 0; i < map.WindowRecordCount(w); ++i) {
        if (!map.WindowPart(w, i, &part) || part.offset >= limit) continue;
        const uint32_t stop = part.offset + part.count < limit ? part.offset + part.count : limit;
        MarkBits(written_, part.offset - windowBegin_, stop - windowBegin_);
    }
    for (uint32_t at = NextBit(written_, 0, end, true); at < end;) {
        const uint32_t stop = NextBit(written_, at, end, false);
        if (!undo_.Add(windowBegin_ + at, window_ + at, stop - at)) return false;
        at = NextBit(written_, stop, end, true);
    }
    return true;
}

// One window, below finalSize: its ranges are read into the buffer, its
// records copied over the buffer, and the ranges written back. Bytes
// between the changes of a range go back as they were read.
bool TargetWriter::WriteWindow(ByteStream* target, const ChangeMap& map, uint32_t w, uint32_t finalSize) {
    windowBegin_ = map.WindowBegin(w);
    const uint32_t limit = map.WindowEnd(w) < finalSize ? map.WindowEnd(w) : finalSize;
    return FindRanges(map, limit) && ReadRanges(target) && map.ApplyWindow(w, window_) && WriteRanges(target);
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
    cut_ = true;
    return StreamGetSize(target) == finalSize;
}

bool TargetWriter::Restore(ByteStream* target) {
    // Before the log was sealed nothing was written: nothing to put back.
    return !touched_ || (undo_.Restore(target) && !cut_);
}

bool TargetWriter::TargetAsItWas(ByteStream* target) {
    return window_ && undo_.TargetAsItWas(target, window_);
}

bool TargetWriter::TargetPatched(ByteStream* target, const PatchScan& scan) {
    // Only a file can be checked this way; a bare stream is taken as damaged.
    return map_ && IsValidFileHandle(target->fileHandle) && StreamGetSize(target) == finalSize_ &&
           ChangesAlreadyThere(*map_, scan, target->fileHandle);
}
