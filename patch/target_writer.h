// Writes a patch's changes into the target in place, with what puts it
// back on disk first.
//
// Two passes over the map's windows, in ascending order. In each window,
// changes closer together than a block (16 KiB) make one range; every
// range is read into one buffer and the records are copied over it. The
// first pass compares the buffer with the bytes read and puts the old bytes
// of every stretch that changes into the undo journal (patch/undo_journal.h),
// with the bytes a cut takes, and seals it; only then does the second pass
// bring the target to its size and write each range back with one call. A
// dense patch becomes a few large writes and a sparse one stays a few small
// ones. The old bytes are held once, in the journal; the writer's own memory
// is one window (1 MiB) and its copy as read.
#pragma once
#include <stdint.h>

#include "patch/change_map.h"

class ByteStream;
class UndoJournal;

// Told after each range is written: bytes done of the total to write.
typedef void (*WriteProgressFunction)(void* context, uint32_t done, uint32_t total);

class TargetWriter {
public:
    TargetWriter() = default;
    ~TargetWriter();
    TargetWriter(const TargetWriter&) = delete;
    TargetWriter& operator=(const TargetWriter&) = delete;

    // Writes the undo journal and seals it, brings a growing target to
    // finalSize (a full disk fails here, with nothing overwritten), then
    // writes every changed byte below finalSize. The bytes around the
    // changes are read from source: the target itself, or, for a new file
    // that takes the target's place only once it is whole (no journal
    // then), the target it replaces. False at the first failure; Touched()
    // tells whether the target may have changed (the journal then puts it
    // back).
    bool WriteChanges(ByteStream* target, ByteStream* source, const ChangeMap& map, uint64_t finalSize,
                      UndoJournal* journal, WriteProgressFunction progress, void* context);
    // Cuts a shrinking target to finalSize: the last step, after the data
    // has been flushed (the journal holds the cut bytes).
    static bool CutTo(ByteStream* target, uint64_t finalSize);
    bool Touched() const { return touched_; }

private:
    struct Range {
        uint32_t start;
        uint32_t stop;
    };
    bool LayWindow(ByteStream* source, const ChangeMap& map, uint32_t w, uint32_t limit, bool keep);
    bool FindRanges(const ChangeMap& map, uint32_t limit);
    bool ReadRanges(ByteStream* source);
    bool LogChanges(UndoJournal& journal) const;
    bool LogCut(ByteStream* target, uint64_t finalSize, UndoJournal& journal);
    bool WriteRanges(ByteStream* target);

    // The target's size before the run (any size: a file of 4 GiB or more
    // keeps it), and the same held below 4 GiB for the window arithmetic,
    // where every offset of a patch lies.
    uint64_t oldSize_ = 0;
    uint32_t oldEnd_ = 0;
    bool touched_ = false;       // the journal is sealed: the target may have changed since
    uint8_t* window_ = nullptr;  // one window of the target on its way to the file, then its copy as read
    uint32_t windowSize_ = 0;
    uint32_t windowBegin_ = 0;   // the target offset of window_[0]
    Range* ranges_ = nullptr;    // the window's ranges: one read and one write each
    uint32_t rangeCount_ = 0;
    uint32_t rangeCapacity_ = 0;
};
