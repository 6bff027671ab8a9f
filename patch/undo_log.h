// What a run needs to put its target back, gathered before the first byte
// of the target changes: the old size and the old bytes of exactly the
// bytes the run will write, as entries (offset, length, bytes) that never
// overlap, so putting them back in any order touches nothing else.
//
// A run on a named file keeps the log in a journal beside it,
// "<target>.tessel-undo", created exclusively (never through a link) and
// flushed before the target is touched: when the process is killed or the
// machine stops midway, the next run on that file (any patcher, or
// tessel-pack apply) finds the journal and puts the target back first
// (RecoverInterruptedRun). A run that ends deletes it. A run on a bare
// stream keeps the same entries in memory.
//
// Journal layout, little-endian:
//   0   8  "TSLUNDO1"
//   8   4  the target's size before the run
//   12  4  the size the run brings it to
//   16  4  entries
//   20  4  bytes of entries after the header
//   24  4  checksum of those bytes
//   28  4  checksum of bytes 0..27
//   32     entries: offset (4), length (4), the old bytes
// The header is written last, just before the flush: a journal cut short by
// a kill has a header that does not check, and its target was never touched.
#pragma once
#include <stdint.h>

#include "base/byte_string.h"
#include "platform/file_handle.h"

class ByteStream;

class UndoLog {
public:
    static const uint32_t kHeaderSize = 32;

    UndoLog() = default;
    ~UndoLog();
    UndoLog(const UndoLog&) = delete;
    UndoLog& operator=(const UndoLog&) = delete;

    // Entries go to `journal` (owned from here; an invalid handle: kept in
    // memory), whose name is journalPath. False when the heap refuses the
    // buffer.
    bool Start(FileHandle journal, const ByteString& journalPath, uint32_t oldSize, uint32_t finalSize);
    // The old bytes of [offset, offset + count), which the run will write.
    bool Add(uint32_t offset, const uint8_t* old, uint32_t count);
    // The last entry is in; a journal gets its header and is flushed, and
    // then its folder (after its bytes: one commit of the file system's own
    // journal serves both). Only after this may the target change.
    bool Seal();

    uint32_t OldSize() const { return oldSize_; }
    uint32_t FinalSize() const { return finalSize_; }

    // Every entry written back and the old size restored. True when the
    // target is as it was (the bytes past a cut are not in the log).
    bool Restore(ByteStream* target);
    // The target holds the old size and every entry's old bytes. scratch
    // holds the longest entry (an entry never crosses a window).
    bool TargetAsItWas(ByteStream* target, uint8_t* scratch);

    // Closes the journal and deletes it (a finished run, or one put back).
    void Discard(const ByteString& journalPath);
    // Closes the journal and leaves it for the next run to put back.
    void Keep();

    // Opens an existing journal for reading its entries: the header checked,
    // the body's checksum checked. False for anything else (and then *ours
    // tells whether it is an unfinished journal of ours that may go).
    bool Open(FileHandle journal, bool* ours);

    static const uint32_t kChunk = 256u << 10;  // the journal's buffer

private:
    bool Drain();
    bool Append(const uint8_t* bytes, uint32_t count);
    typedef bool (*Visit)(void* context, ByteStream* target, uint32_t offset, const uint8_t* bytes,
                          uint32_t count);
    bool EachEntry(ByteStream* target, Visit visit, void* context);
    const uint8_t* Next(uint32_t want, uint32_t* got);

    FileHandle file_ = InvalidFileHandle();
    ByteString path_;
    uint8_t* buffer_ = nullptr;
    uint32_t used_ = 0;       // bytes in buffer_ (memory: all the entries)
    uint32_t capacity_ = 0;
    uint32_t bodyBytes_ = 0;  // entry bytes in the journal or in memory
    uint32_t entries_ = 0;
    uint32_t sumA_ = 0, sumB_ = 0;  // the body's running checksum
    uint32_t oldSize_ = 0;
    uint32_t finalSize_ = 0;
    uint32_t readAt_ = 0;     // reading: position in buffer_
    uint32_t readLeft_ = 0;   // body bytes not yet in buffer_
};

// The journal's name: the target's with ".tessel-undo" appended.
ByteString JournalPathFor(const ByteString& targetPath);

// A fresh journal for targetPath at JournalPathFor, created exclusively,
// never through a link, readable by its owner only (CreateOwnFile); an
// invalid handle when anything stands at its name.
FileHandle CreateJournal(const ByteString& targetPath);

enum Recovery : uint8_t {
    RecoveryNone = 0,   // no journal of an interrupted run
    RecoveryRestored,   // one was found and the target put back as it was
    RecoveryFailed      // one was found and the target could not be put back: it is kept
};
// Looks for the journal of an interrupted run on targetPath and puts the
// target back. A journal whose target is already whole (cut to its final
// size, the last step of a run) is deleted without a word.
Recovery RecoverInterruptedRun(const ByteString& targetPath);
