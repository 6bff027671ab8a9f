// Words for what the core's patch scanner finds: the one-line reason a
// malformed patch is refused, and the warnings about a patch the program
// would read differently from what its author may have meant.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "patch/bps_patch.h"
#include "patch/ips_patch.h"

// "0x1BFFB8" (at least six digits, the width of an IPS offset).
std::string Hex24(uint32_t value);
// "0x2A" (no padding), for block offsets.
std::string HexValue(uint64_t value);

// For an invalid scan of block: "record 3 at block offset 0x2A (target
// offset 0x00F9DB): record cut short in its data (needs 57 bytes from block
// offset 0x2F, 12 left)". The target offset and the counts are given when
// the block holds them.
std::string DescribePatchProblem(const PatchScan& scan, const std::string& block);

// For a valid scan: one line per thing worth a warning (a record at
// 0x454F46, records after it, a truncation size, a patch with no records).
std::vector<std::string> PatchWarnings(const PatchScan& scan);

// For an invalid BPS scan: "action 7 at block offset 0x2F: SourceCopy reads
// outside the source (20 bytes)", or the header's problem.
std::string DescribeBpsProblem(const BpsScan& scan);
// "1048576 bytes, CRC-32 0x1A2B3C4D"
std::string SizeAndCrc(uint64_t size, uint32_t crc);
// The metadata of a valid header as text (control bytes but tab and line
// breaks shown as '?'); "none" when empty.
std::string BpsMetadataText(const BpsScan& scan, const std::string& block);
