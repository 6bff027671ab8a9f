// Words for what the core's patch scanner finds: the one-line reason a
// malformed patch is refused, and the warnings about a patch the program
// would read differently from what its author may have meant.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

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
