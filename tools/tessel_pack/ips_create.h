// IPS creation: the smallest IPS patch that turns an original into a
// modified file, among patches whose records do not overlap.
//
// A record header costs 5 bytes, a run record 8 in all, so the records are
// chosen by a dynamic program over the byte positions rather than one per
// changed stretch: short unchanged gaps stay inside a data record, a run
// record covers a stretch of one byte value where that is cheaper (also over
// bytes that already match), records end at 65,535 bytes, none starts at
// 0x454F46 (other appliers read those three offset bytes as "EOF"). Growth is
// written out to the last byte of the modified file; a shorter modified file
// gets its size after "EOF".
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>

// The highest offset a record can name, and the sizes an IPS can truncate to
// (three big-endian bytes each).
const uint32_t kIpsMaxOffset = 0xFFFFFF;
// The offset no record may start at: its bytes read "EOF".
const uint32_t kIpsEofOffset = 0x454F46;

// False with a reason (naming the offset or size, and suggesting BPS) when
// IPS cannot express the change; true with the whole patch otherwise. The
// caller refuses identical files before calling (the patch would be empty).
bool CreateIpsPatch(const uint8_t* original, size_t originalSize, const uint8_t* modified, size_t modifiedSize,
                    std::string& patch, std::string& reason);
