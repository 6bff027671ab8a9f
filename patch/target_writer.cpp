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

}  // namespace

TargetWriter::~TargetWriter() {
    free(window_);
    free(bits_);
    free(ranges_);
}

bool TargetWriter::WriteChanges(ByteStream* target, const ChangeMap& map, uint32_t finalSize, FileHandle journal,
                                const ByteString& journalPath, WriteProgressFunction progress, void* context) {
    map_ = &map;
    finalSize_ = finalSize;
    oldSize_ = StreamGetSize(target);
    const uint32_t span = map.End() - map.Begin();
    windowSize_ = span < ChangeMap::kWindowSize ? span + 1 : ChangeMap::kWindowSize;
    window_ = static_cast<uint8_t*>(malloc(windowSize_));
    bits_ = static_cast<uint8_t*>(malloc(ChangeMap::BitsBytes(windowSize_)));
    if (!undo_.Start(journal, journalPath, oldSize_, finalSize) || !window_ || !bits_) return false;
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

// One window: its ranges read, and each stretch of the bytes its records
// write logged with its old contents. Unchanged bytes between changes are
// not logged, so putting back never writes them.
bool TargetWriter::LogWindow(ByteStream* target, const ChangeMap& map, uint32_t w, uint32_t limit) {
    windowBegin_ = map.WindowBegin(w);
    if (!FindRanges(map, limit) || !ReadRanges(target)) return false;
    map.MarkWritten(w, bits_);
    uint32_t start, stop;
    for (uint32_t from = 0; ChangeMap::NextMarked(bits_, from, limit - windowBegin_, &start, &stop); from = stop)
        if (!undo_.Add(windowBegin_ + start, window_ + start, stop - start)) return false;
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
