// The changes a patch makes, gathered in memory before anything is written:
// the records are applied in block order to an image of the span they
// touch (later records overwrite earlier ones, exactly as on disk), and a
// bit per byte says which bytes of the span a record wrote.
//
// IPS offsets are 24-bit and a record writes at most 65,535 bytes, so the
// span is at most 0x100FFFF bytes: the image takes at most that much memory
// and the bits an eighth of it. Pages of the image that no record touches
// are never written, so a sparse patch costs little more than its records.
#pragma once
#include <stdint.h>

#include "patch/ips_patch.h"

class ChangeMap {
public:
    ChangeMap() = default;
    ~ChangeMap();
    ChangeMap(const ChangeMap&) = delete;
    ChangeMap& operator=(const ChangeMap&) = delete;

    // Room for the span of a valid scan; false when the heap refuses it.
    bool Reserve(const PatchScan& scan);
    // One record, in block order. Records outside the reserved span (and
    // empty ones) are ignored.
    void Apply(const IpsRecord& record);
    // Reserve, then every record of a valid block in block order; pulse
    // (may be null) every few thousand records. False when the heap refuses.
    bool Gather(const uint8_t* block, const PatchScan& scan, ScanPulse pulse = nullptr, void* context = nullptr);

    uint32_t Begin() const { return begin_; }  // first byte of the span
    uint32_t End() const { return end_; }      // one past its last byte
    // The span's bytes: what the records wrote where a bit is set.
    const uint8_t* Image() const { return image_; }
    bool IsChanged(uint32_t offset) const;
    // The first run of changed bytes that starts at or after `from`:
    // [*start, *stop). False when there is none.
    bool NextChangedRun(uint32_t from, uint32_t* start, uint32_t* stop) const;

private:
    uint32_t begin_ = 0;
    uint32_t end_ = 0;
    uint8_t* image_ = nullptr;   // End() - Begin() bytes
    uint32_t* changed_ = nullptr;  // a bit per byte of the span
};
