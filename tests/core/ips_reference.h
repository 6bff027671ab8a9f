// A second, deliberately plain reading of the IPS rules, used to cross-check
// the patch run in the tests and the fuzzer: the whole block is applied to a
// copy of the target in memory, or not at all.
//
//   "PATCH", then records until the block ends, or until "EOF" stands where
//   a record would begin with exactly 0 or 3 bytes after it (3 bytes: the
//   big-endian size the result is cut or extended to). A record: 3-byte
//   offset, 2-byte size, then size bytes, or for size 0 a 2-byte count and a
//   value byte. Anything cut short: the block is refused.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace ipsref {

inline bool Apply(const std::vector<uint8_t>& block, std::vector<uint8_t>* target) {
    static const char kHeader[] = "PATCH";
    if (block.size() < 5) return false;
    for (int i = 0; i < 5; ++i)
        if (block[i] != static_cast<uint8_t>(kHeader[i])) return false;

    std::vector<uint8_t> out = *target;
    auto put = [&out](size_t at, uint8_t byte) {
        if (out.size() <= at) out.resize(at + 1, 0);
        out[at] = byte;
    };
    size_t p = 5;
    const size_t n = block.size();
    while (p < n) {
        size_t rest = n - p;
        bool eof = rest >= 3 && block[p] == 'E' && block[p + 1] == 'O' && block[p + 2] == 'F';
        if (eof && rest == 3) break;
        if (eof && rest == 6) {
            size_t size = (size_t(block[p + 3]) << 16) | (size_t(block[p + 4]) << 8) | block[p + 5];
            out.resize(size, 0);
            break;
        }
        if (rest < 5) return false;
        size_t offset = (size_t(block[p]) << 16) | (size_t(block[p + 1]) << 8) | block[p + 2];
        size_t size = (size_t(block[p + 3]) << 8) | block[p + 4];
        p += 5;
        if (size > 0) {
            if (n - p < size) return false;
            for (size_t i = 0; i < size; ++i) put(offset + i, block[p + i]);
            p += size;
        } else {
            if (n - p < 3) return false;
            size_t count = (size_t(block[p]) << 8) | block[p + 1];
            uint8_t value = block[p + 2];
            p += 3;
            for (size_t i = 0; i < count; ++i) put(offset + i, value);
        }
    }
    *target = out;
    return true;
}

}  // namespace ipsref
