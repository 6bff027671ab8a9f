// What puts a target back, on disk before the first byte of it changes: the
// undo journal of an in-place run.
//
// Its entries hold the old bytes of exactly the bytes the run changes (a
// byte the run writes with the value it had is no change), as stretches
// that never overlap, and the bytes a cut takes; its trailer holds the
// target's old size and the size the run gives it. A run on a named file
// keeps it beside the target, "<target>.tessel-undo", created exclusively
// (never through a link) and flushed with its folder before the target is
// touched, and deletes it once the target is whole again (patched, or put
// back). When the process is killed or the machine stops midway, the next
// run on that file (any patcher, or tessel-pack apply) finds it and puts
// the target back first (RecoverInterruptedRun). A run on a bare stream
// keeps the same journal in a memory stream. Putting back, after a failure
// or after a kill, is one function: PutBack.
//
// Layout (the machine's byte order; every build is little-endian x86):
//   entries: offset (4), length (4), the old bytes (length)
//   trailer: old size (8), size after the run (8), "TSLUNDO2" (8),
//            bytes of entries (4), CRC-32 of everything before it (4)
// The trailer is written last, just before the flush: a journal a kill cut
// short has none whose CRC-32 checks, and its target was never touched.
#pragma once
#include <stdint.h>

#include "base/byte_string.h"

class ByteStream;

// Gathers the entries on their way to the journal's stream (which the
// caller owns), in large writes. path: the journal file's name (its folder
// is flushed with it); empty for a memory stream.
class UndoJournal {
public:
    UndoJournal(ByteStream* out, const ByteString& path);
    ~UndoJournal();
    UndoJournal(const UndoJournal&) = delete;
    UndoJournal& operator=(const UndoJournal&) = delete;

    // An entry: count old bytes at offset. False when the journal cannot
    // be written (or the heap refused its buffer).
    bool Add(uint32_t offset, const uint8_t* old, uint32_t count);
    // The trailer, then the journal handed to the disk, and its folder.
    // Only after this may the target change.
    bool Seal(uint64_t oldSize, uint64_t finalSize);
    ByteStream* Stream() const { return out_; }

private:
    bool Put(const void* bytes, uint32_t count);
    bool Write(const void* bytes, uint32_t count);
    bool Drain();

    ByteStream* out_;
    const ByteString& path_;
    uint8_t* buffer_;
    uint32_t used_ = 0;
    uint32_t written_ = 0;  // bytes handed to out_
    uint32_t crc_ = 0;      // of those bytes
};

// The journal's name: the target's with ".tessel-undo" appended.
ByteString JournalPathFor(const ByteString& targetPath);

enum PutBackResult : uint8_t {
    PutBackNone = 0,  // no whole journal, or not this target's (its size is neither)
    PutBackDone,      // the target is as it was before the run
    PutBackFailed     // the target could not be put back, or the journal could not be read
};
// Puts target back from the journal: its old size, then each entry's bytes
// where the target does not hold them already (so a file found as it was
// is put back without a write).
PutBackResult PutBack(ByteStream* journal, ByteStream* target);

// Looks for the journal of an interrupted run on targetPath and puts the
// target back: PutBackDone then. The journal is deleted unless putting
// back failed (PutBackFailed: it is kept for the next run).
PutBackResult RecoverInterruptedRun(const ByteString& targetPath);
