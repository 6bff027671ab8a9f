// Writes a patch's changes into the target so that they can be taken back.
//
// First the undo log (patch/undo_log.h): the map's windows are walked once,
// each one's ranges read, and the old bytes of exactly the bytes its
// records write (below the old end) put in the log, which is sealed (a
// journal: flushed) before anything is written. Then the windows go out in
// ascending order: in each, changes closer together than a block (16 KiB)
// make one range; every range is read into one buffer, the records are
// copied over it, and each range is written back with one call. A dense
// patch becomes a few large writes and a sparse one stays a few small
// ones. The old bytes are held once: in the journal, or in memory for a
// bare stream; the writer's own memory is one window (1 MiB), a bit per
// byte of it, and the log's buffer.
#pragma once
#include <stdint.h>

#include "patch/change_map.h"
#include "patch/undo_log.h"

class ByteStream;

// Told after each range is written: bytes done of the total to write.
typedef void (*WriteProgressFunction)(void* context, uint32_t done, uint32_t total);

class TargetWriter {
public:
    TargetWriter() = default;
    ~TargetWriter();
    TargetWriter(const TargetWriter&) = delete;
    TargetWriter& operator=(const TargetWriter&) = delete;

    // Remembers the target's size, writes and seals the undo log (into
    // `journal`, which the writer owns from here, or in memory when it is
    // invalid), brings a growing target to finalSize before any byte
    // changes (a full disk fails here, with nothing overwritten), then
    // writes every changed byte below finalSize. False at the first
    // failure; the log then holds what Restore needs.
    bool WriteChanges(ByteStream* target, const ChangeMap& map, uint32_t finalSize, FileHandle journal,
                      const ByteString& journalPath, WriteProgressFunction progress, void* context);
    // Cuts a shrinking target to finalSize: the last step, after the data
    // has been flushed. The cut bytes are not kept.
    bool CutTo(ByteStream* target, uint32_t finalSize);
    // Writes back exactly the bytes the log holds, nothing between them,
    // and restores the old size. True when the target is as it was before
    // WriteChanges.
    bool Restore(ByteStream* target);
    // What a check of the target finds after a failed Restore: as it was
    // (the old size and every old byte), or fully patched (the final size
    // and every byte the records leave).
    bool TargetAsItWas(ByteStream* target);
    bool TargetPatched(ByteStream* target, const PatchScan& scan);
    // The journal, once the run is over: deleted (the target is whole, as
    // it was or patched), or kept for the next run to put the target back.
    void DiscardJournal(const ByteString& journalPath) { undo_.Discard(journalPath); }
    void KeepJournal() { undo_.Keep(); }

private:
    struct Range {
        uint32_t start;
        uint32_t stop;
    };
    bool LogOldBytes(ByteStream* target, const ChangeMap& map, uint32_t finalSize);
    bool LogWindow(ByteStream* target, const ChangeMap& map, uint32_t w, uint32_t limit);
    bool WriteWindow(ByteStream* target, const ChangeMap& map, uint32_t w, uint32_t finalSize);
    bool FindRanges(const ChangeMap& map, uint32_t limit);
    bool ReadRanges(ByteStream* target);
    bool WriteRanges(ByteStream* target);

    const ChangeMap* map_ = nullptr;  // borrowed: the run's, which outlives the writer
    UndoLog undo_;
    uint32_t finalSize_ = 0;
    uint32_t oldSize_ = 0;
    bool touched_ = false;       // the log was sealed and the target may have changed since
    bool cut_ = false;           // cut: the bytes past the new end are gone
    uint8_t* window_ = nullptr;  // one window of the target on its way to the file
    uint8_t* bits_ = nullptr;    // a bit for each byte of the window that a record writes
    uint32_t windowSize_ = 0;
    uint32_t windowBegin_ = 0;   // the target offset of window_[0]
    Range* ranges_ = nullptr;    // the window's ranges: one read and one write each
    uint32_t rangeCount_ = 0;
    uint32_t rangeCapacity_ = 0;
};
