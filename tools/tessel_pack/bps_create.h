// BPS creation: the modified file as a list of actions on the original.
//
// BPS ("BPS1", the two sizes, metadata, actions, three CRC-32) has four
// actions: SourceRead (the original's bytes at the same offset), TargetRead
// (literal bytes), SourceCopy and TargetCopy (bytes from anywhere in the
// original, or from the result written so far, at an offset relative to
// where the previous copy of that kind ended). Copies are found through one
// suffix array over original + modified, so a moved, duplicated or inserted
// block costs a few bytes instead of its length.
//
// Memory: the joined text (|A| + |B| bytes), its suffix array (4 bytes a
// byte) and the rank of every modified position (4 bytes a byte): for a
// 64 MiB pair about 5 x 128 + 4 x 64 = 896 MiB beside the two files.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>

// Told how far the work has come: the sort first (done 0 of total), then
// the modified file's bytes as they are covered.
typedef void (*CreateProgress)(void* context, uint64_t done, uint64_t total);

// False with a reason when the pair is too large for the suffix array or
// memory runs out.
bool CreateBpsPatch(const uint8_t* original, size_t originalSize, const uint8_t* modified, size_t modifiedSize,
                    std::string& patch, std::string& reason, CreateProgress progress = nullptr,
                    void* context = nullptr);
