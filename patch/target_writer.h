// Writes a patch's changes into the target so that they can be taken back.
//
// The changed ranges go out in ascending order; ranges closer together than
// a gap worth a system call are joined, their gap bytes read from the
// target first, so a dense patch becomes a few large writes and a sparse one
// stays a few small ones. Before a range is overwritten, the old bytes of
// every byte a record changes are kept (they are read anyway), with the
// old size: whatever fails later, Restore puts the target back as it was.
// The kept bytes are bounded like the map: at most the span of the patch.
#pragma once
#include <stdint.h>

class ByteStream;
class ChangeMap;

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
    bool WriteChanges(ByteStream* target, ChangeMap& map, uint32_t finalSize,
                      WriteProgressFunction progress, void* context);
    // Cuts a shrinking target to finalSize: the last step, after the data
    // has been flushed. The cut bytes are not kept.
    bool CutTo(ByteStream* target, uint32_t finalSize);
    // Writes the kept bytes back, newest first, and restores the old size.
    // True when the target is as it was before WriteChanges.
    bool Restore(ByteStream* target);
    // Whether anything about the target was changed (and would need Restore).
    bool Changed() const { return sizeChanged_ || keptCount_ > 0; }

private:
    struct Kept {
        uint32_t offset;
        uint32_t length;
        uint32_t at;  // where its bytes begin in bytes_
    };
    struct Run {
        uint32_t start;
        uint32_t stop;
    };
    bool AddRun(uint32_t start, uint32_t stop);
    bool WriteRange(ByteStream* target, const ChangeMap& map, uint32_t start, uint32_t stop);
    uint8_t* Keep(uint32_t offset, uint32_t length);

    uint32_t oldSize_ = 0;
    bool sizeChanged_ = false;  // grown, or cut
    bool cut_ = false;          // cut: the bytes past the new end are gone
    Kept* kept_ = nullptr;
    uint32_t keptCount_ = 0;
    uint32_t keptCapacity_ = 0;
    uint8_t* bytes_ = nullptr;
    uint8_t* scratch_ = nullptr;  // one range on its way to the file
    Run* runs_ = nullptr;         // the changed runs of that range
    uint32_t runCount_ = 0;
    uint32_t runCapacity_ = 0;
    uint32_t bytesUsed_ = 0;
    uint32_t bytesCapacity_ = 0;
};
