#include "patch/target_writer.h"

#include <stdlib.h>
#include <string.h>

#include "patch/byte_stream.h"
#include "patch/change_map.h"

namespace {

// Changed ranges closer than this are written as one: reading and writing
// the bytes between them costs less than another seek and write.
const uint32_t kJoinGap = 16 * 1024;
// No single read or write moves more than this, so progress can move and
// the run stays responsive on a dense 16 MiB patch.
const uint32_t kMaxRange = 1024 * 1024;

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
    free(kept_);
    free(bytes_);
    free(scratch_);
    free(runs_);
}

uint8_t* TargetWriter::Keep(uint32_t offset, uint32_t length) {
    if (!Grow(kept_, keptCapacity_, keptCount_ + 1) || bytesCapacity_ - bytesUsed_ < length) return nullptr;
    Kept& entry = kept_[keptCount_++];
    entry.offset = offset;
    entry.length = length;
    entry.at = bytesUsed_;
    bytesUsed_ += length;
    return bytes_ + entry.at;
}

// One joined range and the changed runs in it: its bytes are read into the
// scratch buffer (past the old end they are zero, as the file system fills
// a gap), the old bytes of each run are kept and its new bytes laid over
// them, and the range is written back in one call. Bytes between the runs
// go back as they were read, so they need no keeping.
bool TargetWriter::WriteRange(ByteStream* target, const ChangeMap& map, uint32_t start, uint32_t stop) {
    const uint8_t* image = map.Image() - map.Begin();  // indexed by target offset
    uint8_t* range = scratch_ - start;                  // likewise
    const uint32_t oldEnd = stop < oldSize_ ? stop : oldSize_;
    if (start < oldEnd &&
        (!SeekTo(target, start) || StreamRead(target, scratch_, oldEnd - start) != oldEnd - start))
        return false;
    const uint32_t zeroFrom = start > oldEnd ? start : oldEnd;
    if (stop > zeroFrom) memset(range + zeroFrom, 0, stop - zeroFrom);
    for (uint32_t i = 0; i < runCount_; ++i) {
        const Run& run = runs_[i];
        if (run.start < oldEnd) {
            const uint32_t keptStop = run.stop < oldEnd ? run.stop : oldEnd;
            uint8_t* old = Keep(run.start, keptStop - run.start);
            if (!old) return false;
            memcpy(old, range + run.start, keptStop - run.start);
        }
        memcpy(range + run.start, image + run.start, run.stop - run.start);
    }
    return SeekTo(target, start) && StreamWrite(target, scratch_, stop - start) == stop - start;
}

bool TargetWriter::WriteChanges(ByteStream* target, ChangeMap& map, uint32_t finalSize,
                                WriteProgressFunction progress, void* context) {
    oldSize_ = StreamGetSize(target);
    // The kept bytes are old bytes the records change: never more than the
    // span, and room for all of them is taken at once.
    const uint32_t keptEnd = map.End() < oldSize_ ? map.End() : oldSize_;
    bytesCapacity_ = keptEnd > map.Begin() ? keptEnd - map.Begin() : 0;
    const uint32_t span = map.End() - map.Begin();
    bytes_ = static_cast<uint8_t*>(malloc(bytesCapacity_ ? bytesCapacity_ : 1));
    scratch_ = static_cast<uint8_t*>(malloc(span < kMaxRange ? span + 1 : kMaxRange));
    if (!bytes_ || !scratch_) return false;
    if (finalSize > oldSize_) {
        sizeChanged_ = true;
        if (!StreamSetSize(target, finalSize) || StreamGetSize(target) != finalSize) return false;
    }
    // Runs are taken in ascending order and joined into ranges while the
    // gap to the next is small and the range stays within kMaxRange; a run
    // longer than that goes on in the next range.
    uint32_t start, stop;
    bool more = map.NextChangedRun(map.Begin(), &start, &stop);
    while (more && start < finalSize) {
        const uint32_t rangeStart = start;
        const uint32_t limit = finalSize - rangeStart > kMaxRange ? rangeStart + kMaxRange : finalSize;
        uint32_t rangeStop;
        runCount_ = 0;
        do {
            rangeStop = stop < limit ? stop : limit;
            if (!AddRun(start, rangeStop)) return false;
            if (rangeStop < stop) {
                start = rangeStop;
                break;
            }
            more = map.NextChangedRun(stop, &start, &stop);
        } while (more && start < limit && start - rangeStop < kJoinGap);
        if (!WriteRange(target, map, rangeStart, rangeStop)) return false;
        if (progress) progress(context, rangeStop - map.Begin(), span);
    }
    return true;
}

bool TargetWriter::AddRun(uint32_t start, uint32_t stop) {
    if (!Grow(runs_, runCapacity_, runCount_ + 1)) return false;
    runs_[runCount_].start = start;
    runs_[runCount_].stop = stop;
    ++runCount_;
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

bool TargetWriter::Restore(ByteStream* target) {
    bool restored = !cut_;
    for (uint32_t i = keptCount_; i > 0; --i) {
        const Kept& entry = kept_[i - 1];
        if (!SeekTo(target, entry.offset) ||
            StreamWrite(target, bytes_ + entry.at, entry.length) != entry.length)
            restored = false;
    }
    if (sizeChanged_ && (!StreamSetSize(target, oldSize_) || StreamGetSize(target) != oldSize_))
        restored = false;
    return restored;
}
