// Writes a patch's changes into the target so that they can be taken back.
//
// The map's windows go out in ascending order. In each, changes closer
// together than a block (16 KiB) make one range; every range is read into
// one buffer, the records are copied over it, and each range is written
// back with one call. A dense patch becomes a few large writes and a sparse
// one stays a few small ones, and each record's bytes are copied once. The
// old bytes under every record are kept as it goes over them (they were
// read anyway), with the old size: whatever fails later, Restore puts the
// target back as it was. The kept bytes are at most the span of the patch,
// and where they go back is found again from the map, so nothing else is
// kept per record; the buffer is one window (1 MiB).
#pragma once
#include <stdint.h>

#include "patch/change_map.h"

class ByteStream;

// Told after each range is written: bytes done of the total to write.
typedef void (*WriteProgressFunction)(void* context, uint32_t done, uint32_t total);

class TargetWriter {
public:
    TargetWriter() = default;
    ~TargetWriter();
    TargetWriter(const TargetWriter&) = delete;
    TargetWriter& operator=(const TargetWriter&) = delete;

    // Remembers the target's size, brings a growing target to finalSize
    // before any byte changes (a full disk fails here, with nothing
    // overwritten), then writes every changed byte below finalSize. False
    // at the first failure; what was done so far stays recorded for Restore.
    bool WriteChanges(ByteStream* target, const ChangeMap& map, uint64_t finalSize,
                      WriteProgressFunction progress, void* context);
    // Cuts a shrinking target to finalSize: the last step, after the data
    // has been flushed. The cut bytes are kept first when there are at most
    // kMaxKeptTail of them, so a failure after the cut (its flush, the
    // close) can put them back; a larger cut cannot be taken back.
    bool CutTo(ByteStream* target, uint64_t finalSize);
    static const uint32_t kMaxKeptTail = 64u << 20;
    // Writes the kept bytes back, newest first, a window at a time, and
    // restores the old size. The map WriteChanges wrote from must still be
    // there. True when the target is as it was before WriteChanges.
    bool Restore(ByteStream* target);

private:
    // Old bytes of a range kept whole, at offset.
    struct Kept {
        uint32_t offset;
        uint32_t length;
    };
    struct Range {
        uint32_t start;
        uint32_t stop;
    };
    // What one window kept, for Restore: the old bytes under its first
    // `records` records (an undo log, in record order), or, when records is
    // 0, its ranges whole (kept_[firstEntry, entryEnd)). Its bytes end at
    // bytesEnd in bytes_, right after the previous window's.
    struct KeptWindow {
        uint32_t window;
        uint32_t keptEnd;  // the old size or the window's limit: nothing at or past it was kept
        uint32_t records;
        uint32_t firstEntry;
        uint32_t entryEnd;
        uint32_t bytesEnd;
    };
    bool WriteWindow(ByteStream* target, const ChangeMap& map, uint32_t w, uint64_t finalSize);
    bool FindRanges(const ChangeMap& map, uint32_t limit);
    bool ReadRanges(ByteStream* target);
    uint32_t OldBytesInRanges() const;
    bool KeepRanges(KeptWindow& kept);
    static bool KeepUnderRecord(void* context, uint32_t offset, uint32_t count, const uint8_t* current);
    bool WriteRanges(ByteStream* target);
    uint32_t KeptPieces(const KeptWindow& kept) const;
    uint32_t KeptPiece(const KeptWindow& kept, uint32_t k, uint32_t* offset) const;
    bool RestoreWindow(ByteStream* target, const KeptWindow& kept);
    bool KeepTail(ByteStream* target, uint64_t from, uint64_t size);
    bool RestoreTail(ByteStream* target);

    const ChangeMap* map_ = nullptr;  // borrowed: the run's, which outlives the writer
    // The target's size before the run (any size: a file of 4 GiB or more
    // keeps it), and the same held below 4 GiB for the window arithmetic,
    // where every offset of a patch lies.
    uint64_t oldSize_ = 0;
    uint32_t oldEnd_ = 0;
    bool sizeChanged_ = false;  // grown, or cut
    bool cut_ = false;          // cut: the bytes past the new end are gone, unless kept in tail_
    uint8_t* tail_ = nullptr;   // the bytes the cut took, from tailStart_
    uint32_t tailStart_ = 0;
    uint32_t tailLength_ = 0;
    KeptWindow keptWindows_[ChangeMap::kMaxWindows] = {};
    uint32_t keptWindowCount_ = 0;
    Kept* kept_ = nullptr;
    uint32_t keptCount_ = 0;
    uint32_t keptCapacity_ = 0;
    uint8_t* bytes_ = nullptr;
    uint8_t* window_ = nullptr;  // one window of the target on its way to the file
    uint32_t windowSize_ = 0;
    uint32_t windowBegin_ = 0;   // the target offset of window_[0]
    uint32_t limit_ = 0;         // nothing at or past it is written in this window
    Range* ranges_ = nullptr;    // the window's ranges: one read and one write each
    uint32_t rangeCount_ = 0;
    uint32_t rangeCapacity_ = 0;
    uint32_t bytesUsed_ = 0;
    uint32_t bytesCapacity_ = 0;
};
