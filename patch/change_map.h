// The changes a patch makes, gathered in one pass over its records before
// anything is written.
//
// The span the records touch is cut into windows of 1 MiB (aligned on
// target offsets); each window lists, in block order, where in the block
// the records that reach into it begin, so its new bytes can be laid over
// a buffer the caller holds (ApplyWindow), later records over earlier,
// exactly as on disk. Which 16 KiB blocks of the target hold changes, and
// where in them the changes begin and end, gives the ranges worth one read
// and one write each (NextRange).
//
// IPS offsets are 24-bit and a record writes at most 65,535 bytes, so the
// span is at most 0x100FFFF bytes: at most 17 windows and 1,028 blocks.
// The map holds 4 bytes per record (8 for one that crosses a window's
// edge, the lists growing by doubling) and 8 bytes per block; nothing in
// proportion to the span, so a sparse patch costs little more than its
// records and a dense one never pages through an image of 16 MiB.
#pragma once
#include <stdint.h>

#include "patch/ips_patch.h"

class ChangeMap {
public:
    static const uint32_t kWindowSize = 1u << 20;
    static const uint32_t kBlockSize = 16u << 10;
    static const uint32_t kMaxWindows = 17;  // 0x100FFFF, the furthest a record reaches, is in the 17th
    static const uint32_t kMaxBlocks = 0x1010000 / kBlockSize;

    ChangeMap() = default;
    ~ChangeMap();
    ChangeMap(const ChangeMap&) = delete;
    ChangeMap& operator=(const ChangeMap&) = delete;

    // Every record of a valid block, once per map; the block must outlive
    // the map. pulse (may be null) is called every few thousand records,
    // here and while a window is laid out. With markEvery, the block
    // position just past every markEvery-th data record is noted on the
    // way (a host shows the record pass's progress from them without
    // walking the records again). False when the heap refuses; the map is
    // then empty.
    bool Gather(const uint8_t* block, const PatchScan& scan, ScanPulse pulse = nullptr, void* context = nullptr,
                uint32_t markEvery = 0);
    uint32_t MarkCount() const { return markCount_; }
    uint32_t MarkAt(uint32_t i) const { return marks_[i]; }

    uint32_t Begin() const { return begin_; }  // first byte a record writes
    uint32_t End() const { return end_; }      // one past the last
    uint32_t WindowCount() const { return windowCount_; }
    // The part of the span window w covers: [WindowBegin(w), WindowEnd(w)),
    // at most kWindowSize bytes.
    uint32_t WindowBegin(uint32_t w) const;
    uint32_t WindowEnd(uint32_t w) const;
    // How many bytes window w's records write, counting a byte once for
    // every record that writes it.
    uint64_t WindowRecordBytes(uint32_t w) const { return windows_[w].bytes; }
    // How many records reach into window w.
    uint32_t WindowRecordCount(uint32_t w) const { return windows_[w].count; }

    // A record's part of a window.
    struct Part {
        uint32_t offset;      // target offset of its first byte
        uint32_t count;       // bytes it writes in the window
        const uint8_t* data;  // those bytes in the block; null for a run record
        uint8_t value;        // run record: the byte repeated
    };
    // The i-th record (i < WindowRecordCount(w)) of window w in block order,
    // cut to the window.
    bool WindowPart(uint32_t w, uint32_t i, Part* part) const;

    // Copies window w's records, in block order, over `bytes`, which holds
    // the window from WindowBegin(w) to WindowEnd(w). False for a map that
    // does not match its block.
    bool ApplyWindow(uint32_t w, uint8_t* bytes) const;

    // The last record in block order that writes a byte: no other record
    // writes after it, so its bytes all stay. False when no record writes.
    bool LastRecord(IpsRecord* record) const;

    // The next stretch in [from, limit) worth one read and one write: from
    // the first changed byte to one past the last of consecutive blocks
    // that hold changes, so changes a whole block apart go separately.
    // Bytes inside it that no record writes may lie between changes. False
    // when no block at or after `from` below limit holds a change.
    bool NextRange(uint32_t from, uint32_t limit, uint32_t* start, uint32_t* stop) const;

private:
    struct Window {
        uint32_t* positions;  // block positions of its records, in block order
        uint32_t count;
        uint32_t capacity;
        uint64_t bytes;       // bytes its records write, overlaps counted again
    };
    struct Block {
        uint32_t first;  // first changed byte; 0 and 0 when the block holds none
        uint32_t end;    // one past the last
    };
    bool ListRecords();
    bool AddToWindow(uint32_t w, uint32_t position, uint32_t bytes);
    bool GrowWindow(Window& window);
    void MarkBlocks(uint32_t offset, uint32_t end);
    void Pulse(uint32_t done) const;

    const uint8_t* block_ = nullptr;
    PatchScan scan_ = {};
    ScanPulse pulse_ = nullptr;
    void* context_ = nullptr;
    uint32_t begin_ = 0;
    uint32_t end_ = 0;
    uint32_t firstWindow_ = 0;  // Begin() / kWindowSize
    uint32_t windowCount_ = 0;
    Window windows_[kMaxWindows] = {};
    Block* blocks_ = nullptr;  // the span's blocks, from firstBlock_ on
    uint32_t firstBlock_ = 0;   // Begin() / kBlockSize
    uint32_t markEvery_ = 0;
    uint32_t* marks_ = nullptr;
    uint32_t markCount_ = 0;
};
