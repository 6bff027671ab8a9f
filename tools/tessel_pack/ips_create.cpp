#include "tools/tessel_pack/ips_create.h"

#include <algorithm>
#include <vector>

#include "tools/tessel_pack/patch_report.h"

namespace {

const uint32_t kMaxRecordLength = 0xFFFF;
const uint32_t kDataHeaderCost = 5;  // offset 3 + size 2
const uint32_t kRunRecordCost = 8;   // offset 3 + size 0 (2) + length 2 + value 1
const uint32_t kUnreachable = 0xFFFFFFFF;

// How the cheapest cover of the bytes before q ends: q-1 left alone, or a
// record [start, q). Kept in one word per position: the kind in the top two
// bits, the start below (positions stay under 2^25, see CreateIpsPatch).
enum Ending : uint32_t { kEndsUnwritten = 0, kEndsInData = 1, kEndsInRun = 2 };
const uint32_t kEndingShift = 30;
const uint32_t kStartMask = (1u << kEndingShift) - 1;

// The record starts a record ending at q may use, each with a key, cheapest
// at the front: a monotone queue, so every start is pushed and dropped once.
// Starts come in increasing order; a window never holds more than
// kMaxRecordLength + 1 of them.
class CheapestStart {
public:
    CheapestStart() : slots_(kSlots) {}
    void Clear() { head_ = tail_ = 0; }
    void Push(uint32_t start, uint64_t key) {
        while (tail_ != head_ && slots_[(tail_ - 1) % kSlots].key >= key) --tail_;
        slots_[tail_ % kSlots] = {start, key};
        ++tail_;
    }
    void DropBefore(uint32_t first) {
        while (head_ != tail_ && slots_[head_ % kSlots].start < first) ++head_;
    }
    bool Empty() const { return head_ == tail_; }
    uint32_t FrontStart() const { return slots_[head_ % kSlots].start; }
    uint64_t FrontKey() const { return slots_[head_ % kSlots].key; }

private:
    static const size_t kSlots = 1 << 17;
    struct Slot {
        uint32_t start;
        uint64_t key;
    };
    std::vector<Slot> slots_;
    size_t head_ = 0, tail_ = 0;
};

struct Pair {
    const uint8_t* original;
    size_t originalSize;
    const uint8_t* modified;
    size_t modifiedSize;

    // A byte of the result the patch has to write: it differs from the
    // original, or the original ends before it.
    bool MustWrite(size_t p) const { return p >= originalSize || original[p] != modified[p]; }
};

struct Record {
    uint32_t offset, length;
    bool run;
};

// f(q), the fewest patch bytes that write every byte before q that must be
// written with no record reaching past q, is
//   f(q-1)                          when byte q-1 needs no writing,
//   min f(p) - p + q + 5            over data records [p, q),
//   min f(p) + 8                    over run records [p, q) of one value,
// for starts p no further than 65,535 bytes back, below 16 MiB and not at
// 0x454F46. Only the last 65,536 values of f are ever looked at again.
std::vector<Record> CheapestRecords(const Pair& pair, uint32_t end) {
    std::vector<uint32_t> ending(size_t(end) + 1);
    std::vector<uint32_t> cost(kMaxRecordLength + 1);  // f, by position modulo 65,536
    const uint32_t mask = kMaxRecordLength;
    CheapestStart data, runs;
    const uint64_t bias = uint64_t(1) << 32;  // keeps f(p) - p unsigned
    cost[0] = 0;
    for (uint32_t q = 1; q <= end; ++q) {
        const uint32_t p = q - 1;
        const uint32_t fp = cost[p & mask];
        if (p == 0 || pair.modified[p] != pair.modified[p - 1]) runs.Clear();
        if (p != kIpsEofOffset && p <= kIpsMaxOffset && fp != kUnreachable) {
            data.Push(p, fp + bias - p);
            runs.Push(p, fp);
        }
        const uint32_t first = q > kMaxRecordLength ? q - kMaxRecordLength : 0;
        data.DropBefore(first);
        runs.DropBefore(first);
        uint64_t best = kUnreachable;
        uint32_t how = 0;
        if (!pair.MustWrite(p)) {
            best = fp;
            how = kEndsUnwritten << kEndingShift | p;
        }
        if (!data.Empty() && data.FrontKey() - bias + q + kDataHeaderCost < best) {
            best = data.FrontKey() - bias + q + kDataHeaderCost;
            how = kEndsInData << kEndingShift | data.FrontStart();
        }
        if (!runs.Empty() && runs.FrontKey() + kRunRecordCost < best) {
            best = runs.FrontKey() + kRunRecordCost;
            how = kEndsInRun << kEndingShift | runs.FrontStart();
        }
        cost[q & mask] = best >= kUnreachable ? kUnreachable : uint32_t(best);
        ending[q] = how;
    }
    std::vector<Record> records;
    for (uint32_t q = end; q > 0;) {
        const uint32_t kind = ending[q] >> kEndingShift;
        const uint32_t start = ending[q] & kStartMask;
        if (kind != kEndsUnwritten) records.push_back({start, q - start, kind == kEndsInRun});
        q = start;
    }
    std::reverse(records.begin(), records.end());
    return records;
}

void AppendBigEndian(std::string& out, uint32_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out += char((value >> shift) & 0xFF);
}

}  // namespace

bool CreateIpsPatch(const uint8_t* original, size_t originalSize, const uint8_t* modified, size_t modifiedSize,
                    std::string& patch, std::string& reason) {
    const Pair pair = {original, originalSize, modified, modifiedSize};
    const bool truncates = modifiedSize < originalSize;
    if (truncates && modifiedSize > kIpsMaxOffset) {
        reason = "the modified file is " + std::to_string(modifiedSize) +
                 " bytes, shorter than the original: an IPS patch can cut a file only to a size below 16 MiB "
                 "(3 bytes after \"EOF\"); make a BPS patch instead (a .bps file, or --format bps)";
        return false;
    }
    size_t end = modifiedSize;
    while (end > 0 && !pair.MustWrite(end - 1)) --end;
    // The last byte a record can write: one that starts at 0xFFFFFF.
    if (end > size_t(kIpsMaxOffset) + kMaxRecordLength) {
        reason = "the byte at offset " + Hex24(uint32_t(end - 1)) +
                 " changes, beyond the reach of IPS records (their offsets are 3 bytes, below 16 MiB); make a BPS "
                 "patch instead (a .bps file, or --format bps)";
        return false;
    }
    patch = "PATCH";
    for (const Record& record : CheapestRecords(pair, uint32_t(end))) {
        // A record over 0xFFFF bytes is never chosen; both kinds use 3 + 2 bytes of header.
        AppendBigEndian(patch, record.offset, 3);
        if (record.run) {
            AppendBigEndian(patch, 0, 2);
            AppendBigEndian(patch, record.length, 2);
            patch += char(modified[record.offset]);
        } else {
            AppendBigEndian(patch, record.length, 2);
            patch.append(reinterpret_cast<const char*>(modified + record.offset), record.length);
        }
    }
    patch += "EOF";
    if (truncates) AppendBigEndian(patch, uint32_t(modifiedSize), 3);
    return true;
}
