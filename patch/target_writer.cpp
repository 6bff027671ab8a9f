#include "patch/target_writer.h"

#include <stdlib.h>
#include <string.h>

#include "patch/byte_stream.h"
#include "patch/change_map.h"
#include "patch/undo_journal.h"

namespace {


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
    free(ranges_);
}

bool TargetWriter::WriteChanges(ByteStream* target, ByteStream* source, const ChangeMap& map, uint64_t finalSize,
                                UndoJournal* journal, WriteProgressFunction progress, void* context) {
    oldSize_ = StreamGetSize64(source);
    oldEnd_ = oldSize_ > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(oldSize_);
    const uint32_t span = map.End() - map.Begin();
    // A cut reads the bytes it takes a window at a time.
    windowSize_ = span < ChangeMap::kWindowSize && finalSize >= oldSize_ ? span + 1 : ChangeMap::kWindowSize;
    window_ = static_cast<uint8_t*>(malloc(2 * windowSize_));
    if (!window_) return false;
    // Pass 0 journals what the changes replace below the old end (past it
    // every byte is new), pass 1 writes them below the final size.
    for (int pass = journal ? 0 : 1; pass < 2; ++pass) {
        if (pass && finalSize > oldSize_ && (!StreamSetSize(target, finalSize) || StreamGetSize64(target) != finalSize))
            return false;
        const uint64_t end = pass || finalSize < oldSize_ ? finalSize : oldSize_;
        for (uint32_t w = 0; w < map.WindowCount() && map.WindowBegin(w) < end; ++w) {
            const uint32_t limit = map.WindowEnd(w) < end ? map.WindowEnd(w) : static_cast<uint32_t>(end);
            if (!LayWindow(source, map, w, limit, !pass) || !(pass ? WriteRanges(target) : LogChanges(*journal)))
                return false;
            if (pass && progress) progress(context, limit - map.Begin(), span);
        }
        if (pass == 0) {
            if (!LogCut(target, finalSize, *journal) || !journal->Seal(oldSize_, finalSize)) return false;
            touched_ = true;
        }
    }
    return true;
}

// Window w below limit: its ranges read into the buffer (and, to keep,
// copied as read into the second half), then its records copied over the
// buffer. Bytes between the changes of a range stay as they were read.
bool TargetWriter::LayWindow(ByteStream* source, const ChangeMap& map, uint32_t w, uint32_t limit, bool keep) {
    windowBegin_ = map.WindowBegin(w);
    if (!FindRanges(map, limit) || !ReadRanges(source)) return false;
    for (uint32_t i = 0; keep && i < rangeCount_; ++i) {
        const uint32_t at = ranges_[i].start - windowBegin_;
        memcpy(window_ + windowSize_ + at, window_ + at, ranges_[i].stop - ranges_[i].start);
    }
    return map.ApplyWindow(w, window_);
}

// Every stretch of the ranges where the records change a byte, with its
// old bytes: exactly what putting back must write, nothing between.
bool TargetWriter::LogChanges(UndoJournal& journal) const {
    const uint8_t* now = window_;
    const uint8_t* was = window_ + windowSize_;
    for (uint32_t i = 0; i < rangeCount_; ++i) {
        for (uint32_t at = ranges_[i].start - windowBegin_, stop = ranges_[i].stop - windowBegin_, from; at < stop;) {
            if (now[at] == was[at]) {
                ++at;
                continue;
            }
            for (from = at; at < stop && now[at] != was[at];) ++at;
            if (!journal.Add(windowBegin_ + from, was + from, at - from)) return false;
        }
    }
    return true;
}

// The bytes a cut takes, from finalSize (below 16 MiB) to the end, an
// entry a window at a time. A cut is made in place only on a stream below
// 2 GiB (a run on a file cuts by writing a new file where one fits); a
// larger one is refused here, before anything changes.
bool TargetWriter::LogCut(ByteStream* target, uint64_t finalSize, UndoJournal& journal) {
    if (finalSize >= oldSize_) return true;
    if (oldSize_ > 0x7FFFFFFFu || !SeekStreamTo(target, static_cast<uint32_t>(finalSize))) return false;
    for (uint32_t at = static_cast<uint32_t>(finalSize), piece; at < oldEnd_; at += piece) {
        piece = oldEnd_ - at < windowSize_ ? oldEnd_ - at : windowSize_;
        if (StreamRead(target, window_, piece) != piece || !journal.Add(at, window_, piece)) return false;
    }
    return true;
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
bool TargetWriter::ReadRanges(ByteStream* source) {
    const uint32_t windowBegin = windowBegin_;
    for (uint32_t i = 0; i < rangeCount_; ++i) {
        const uint32_t start = ranges_[i].start, stop = ranges_[i].stop;
        const uint32_t oldEnd = stop < oldEnd_ ? stop : oldEnd_;
        if (start < oldEnd && (!SeekStreamTo(source, start) ||
                               StreamRead(source, window_ + (start - windowBegin), oldEnd - start) != oldEnd - start))
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
        if (!SeekStreamTo(target, start) || StreamWrite(target, window_ + (start - windowBegin), length) != length)
            return false;
    }
    return true;
}

bool TargetWriter::CutTo(ByteStream* target, uint64_t finalSize) {
    // A refused resize leaves the file as it was.
    return StreamSetSize(target, finalSize) && StreamGetSize64(target) == finalSize;
}
