// The BPS patch block: its header, the action stream and the in-memory
// apply that the file route (patch/bps_run.cpp), the publisher tool and
// patch creation share.
//
// Block layout: "BPS1"; the source size, the target size and the metadata
// size as numbers (below); that many metadata bytes (text, usually XML);
// the actions, up to the last 12 bytes; then the CRC-32 of the source, of
// the target, and of every block byte before this last one, each 4 bytes
// little-endian.
//
// A number is 7 bits a byte, least significant first; a byte with its top
// bit set ends it, and every byte that does not end it adds one to the
// next place (so every value has exactly one spelling).
//
// An action is a number: its low 2 bits the kind, the rest the length - 1.
// The result is written front to back; `output` is how much is written.
//   SourceRead   the source's bytes at `output`, copied to the same place
//   TargetRead   `length` bytes that follow in the block
//   SourceCopy   a number: bit 0 the sign, the rest a distance by which
//                the source cursor moves; then `length` bytes from the
//                source at that cursor, which moves past them
//   TargetCopy   the same over the result already written; the bytes may
//                overlap the ones being written (a repeating pattern)
//
// A block is taken only whole: ScanBpsPatch checks the header, the patch's
// own CRC-32 and every action against the source and target sizes before a
// run writes anything.
#pragma once
#include <stdint.h>

// Called every few thousand actions of a scan or an apply (patch/ips_patch.h).
typedef void (*ScanPulse)(void* context);

enum BpsProblem : uint8_t {
    BpsProblemNone = 0,
    BpsProblemNoHeader,        // the block does not begin with "BPS1"
    BpsProblemCutHeader,       // too short for its sizes and the three CRC-32s
    BpsProblemBadNumber,       // a number cut short by the CRC-32s, or beyond any size
    BpsProblemTooLarge,        // a source or target of 4 GiB or more
    BpsProblemCutMetadata,     // the metadata runs into the CRC-32s
    BpsProblemPatchCrc,        // the patch's own CRC-32 does not match: damaged
    BpsProblemCutData,         // TargetRead data runs into the CRC-32s
    BpsProblemPastTarget,      // an action writes past the target's size
    BpsProblemOutsideSource,   // SourceRead or SourceCopy reads outside the source
    BpsProblemOutsideTarget,   // TargetCopy reads before the start or a byte not yet written
    BpsProblemShortTarget,     // the actions end before the target is whole
    BpsProblemSourceMismatch,  // the source's size or CRC-32 is not the patch's
    BpsProblemTargetMismatch   // the result's size or CRC-32 is not the patch's
};

enum BpsActionKind : uint8_t { BpsSourceRead = 0, BpsTargetRead, BpsSourceCopy, BpsTargetCopy };

// The facts a BPS block states about itself.
struct BpsHeader {
    uint32_t sourceSize;
    uint32_t targetSize;
    uint32_t metadataOffset;  // block offset of the metadata
    uint32_t metadataSize;
    uint32_t actionsOffset;   // block offset of the first action
    uint32_t actionsEnd;      // block offset of the three CRC-32s
    uint32_t sourceCrc;
    uint32_t targetCrc;
    uint32_t patchCrc;
};

// What ScanBpsPatch learns, walking the block exactly as an apply does.
struct BpsScan {
    bool valid;
    BpsProblem problem;
    uint32_t problemAction;  // 1-based number of the faulty action; 0 for the header
    uint32_t problemOffset;  // block offset where the faulty field or action begins
    BpsHeader header;
    uint32_t actionCount[4];  // per BpsActionKind
    uint32_t actionBytes[4];  // result bytes each kind writes
};

// Where an apply stands in the action stream.
struct BpsCursor {
    uint32_t position;  // block offset of the next action
    uint32_t output;    // result bytes written so far
    uint32_t sourceAt;  // the SourceCopy cursor
    uint32_t targetAt;  // the TargetCopy cursor
};

// One action, read and checked against the header's sizes.
struct BpsAction {
    BpsActionKind kind;
    uint32_t length;
    uint32_t from;        // SourceRead/SourceCopy: source offset; TargetCopy: result offset
    const uint8_t* data;  // TargetRead: the bytes inside the block
};

// The header alone (no CRC-32 checked, no action read). Returns scan->valid
// for the header; the counts are left 0.
bool ReadBpsHeader(const uint8_t* block, uint32_t size, BpsScan* scan);

// The cursor at the first action of a block whose header was read.
inline BpsCursor StartBpsActions(const BpsHeader& header) {
    BpsCursor cursor = {header.actionsOffset, 0, 0, 0};
    return cursor;
}
// Reads the action at the cursor, checks it against the sizes (every byte
// it reads lies in the source or in the result already written, every byte
// it writes inside the target) and moves the cursor past it. False at the
// end of the actions (problem None) or at a faulty one (its problem).
bool NextBpsAction(const uint8_t* block, const BpsHeader& header, BpsCursor* cursor, BpsAction* action,
                   BpsProblem* problem);

// The whole block: header, the patch's CRC-32, then every action (the
// result must come out exactly targetSize bytes long). Returns scan->valid.
bool ScanBpsPatch(const uint8_t* block, uint32_t size, BpsScan* scan, ScanPulse pulse = nullptr,
                  void* context = nullptr);

// Applies a block to a source in memory: scans it whole, checks the
// source's size and CRC-32 and targetSize against the patch's, writes the
// result into target and checks its CRC-32. False with the problem at the
// first thing that is wrong; target holds nothing usable then. problem may
// be null.
bool BpsApplyInMemory(const uint8_t* patch, uint32_t patchSize, const uint8_t* source, uint32_t sourceSize,
                      uint8_t* target, uint32_t targetSize, BpsProblem* problem);
