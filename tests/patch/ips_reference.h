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
#include <string.h>

#include <vector>

namespace ipsref {

struct Record {
    size_t offset;
    size_t length;      // bytes written
    const uint8_t* data;  // null for a run
    uint8_t value;      // run value
};

// Splits the block into records. False when it is not acceptable. *resize
// is the truncation size when the block ends with "EOF" + 3 bytes, else -1.
inline bool Parse(const std::vector<uint8_t>& block, std::vector<Record>* records, int64_t* resize) {
    static const char kHeader[] = "PATCH";
    *resize = -1;
    records->clear();
    if (block.size() < 5 || memcmp(block.data(), kHeader, 5) != 0) return false;
    size_t p = 5;
    const size_t n = block.size();
    while (p < n) {
        size_t rest = n - p;
        bool eof = rest >= 3 && block[p] == 'E' && block[p + 1] == 'O' && block[p + 2] == 'F';
        if (eof && rest == 3) break;
        if (eof && rest == 6) {
            *resize = (int64_t(block[p + 3]) << 16) | (int64_t(block[p + 4]) << 8) | block[p + 5];
            break;
        }
        if (rest < 5) return false;
        Record r;
        r.offset = (size_t(block[p]) << 16) | (size_t(block[p + 1]) << 8) | block[p + 2];
        size_t size = (size_t(block[p + 3]) << 8) | block[p + 4];
        p += 5;
        if (size > 0) {
            if (n - p < size) return false;
            r.length = size;
            r.data = block.data() + p;
            r.value = 0;
            p += size;
        } else {
            if (n - p < 3) return false;
            r.length = (size_t(block[p]) << 8) | block[p + 1];
            r.data = nullptr;
            r.value = block[p + 2];
            p += 3;
        }
        records->push_back(r);
    }
    return true;
}

// The size the target ends with. Call only for an accepted block.
inline size_t FinalSize(const std::vector<Record>& records, int64_t resize, size_t targetSize) {
    if (resize >= 0) return size_t(resize);
    size_t size = targetSize;
    for (const Record& r : records)
        if (r.length > 0 && r.offset + r.length > size) size = r.offset + r.length;
    return size;
}

inline bool Apply(const std::vector<uint8_t>& block, std::vector<uint8_t>* target) {
    std::vector<Record> records;
    int64_t resize;
    if (!Parse(block, &records, &resize)) return false;
    std::vector<uint8_t> out = *target;
    for (const Record& r : records) {
        if (r.length == 0) continue;
        if (out.size() < r.offset + r.length) out.resize(r.offset + r.length, 0);
        for (size_t i = 0; i < r.length; ++i) out[r.offset + i] = r.data ? r.data[i] : r.value;
    }
    if (resize >= 0) out.resize(size_t(resize), 0);
    *target = out;
    return true;
}

}  // namespace ipsref
