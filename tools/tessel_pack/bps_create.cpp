#include "tools/tessel_pack/bps_create.h"

#include <stdlib.h>
#include <string.h>

#include "patch/target_check.h"
#include "tools/tessel_pack/suffix_array.h"

namespace {

enum Action : uint64_t { kSourceRead = 0, kTargetRead = 1, kSourceCopy = 2, kTargetCopy = 3 };

// A copy shorter than this never pays for its action and offset.
const uint64_t kMinCopy = 4;
// Suffix-array neighbours looked at on each side of a position: the best
// match is the nearest usable neighbour, but neighbours that start later in
// the modified file (not written yet) or that run off the end of the
// original have to be stepped over.
const int kNeighbours = 24;
// A SourceRead at least this long is taken without looking for copies.
const uint64_t kPlainlyUnchanged = 32;
// Beside the bytes it covers, an action must save this much: a TargetRead
// it interrupts needs a new action of its own afterwards.
const int64_t kMinSaving = 2;

// BPS numbers: 7 bits a byte, lowest first, the last byte marked by its top
// bit; each byte that follows takes one off, so every number has one form.
void AppendNumber(std::string& out, uint64_t value) {
    for (;;) {
        const uint8_t low = value & 0x7F;
        value >>= 7;
        if (value == 0) {
            out += char(0x80 | low);
            return;
        }
        out += char(low);
        --value;
    }
}

size_t NumberSize(uint64_t value) {
    size_t bytes = 1;
    while ((value >>= 7) != 0) {
        --value;
        ++bytes;
    }
    return bytes;
}

// Copy offsets: the distance, shifted up one, with the sign in bit 0.
uint64_t SignedNumber(int64_t delta) {
    return delta < 0 ? (uint64_t(-delta) << 1) | 1 : uint64_t(delta) << 1;
}

uint64_t ActionNumber(Action action, uint64_t length) { return (length - 1) << 2 | action; }

void AppendLittleEndian32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out += char((value >> (8 * i)) & 0xFF);
}

struct Copy {
    Action action;   // kSourceCopy or kTargetCopy
    int64_t from;    // offset in the original, or in the modified file
    uint64_t length;
    int64_t saving;  // bytes covered minus bytes the action takes
};

// An array released when it goes; null when memory ran out.
template <typename T>
struct Buffer {
    explicit Buffer(size_t count) : items(static_cast<T*>(malloc(count ? count * sizeof(T) : 1))) {}
    ~Buffer() { free(items); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    T* items;
};

// Walks the modified file once, left to right, choosing at each position
// the action that saves the most bytes (a greedy parse).
class Encoder {
public:
    Encoder(const uint8_t* joined, int64_t sourceSize, int64_t targetSize, const int32_t* sa, const int32_t* rank,
            std::string& out)
        : x_(joined), sourceSize_(sourceSize), targetSize_(targetSize), n_(sourceSize + targetSize), sa_(sa),
          rank_(rank), out_(out) {}

    void Encode(CreateProgress progress, void* context);

private:
    uint64_t CommonPrefix(int64_t a, int64_t b, uint64_t limit) const;
    uint64_t SourceReadLength(int64_t i) const;
    Copy BestCopy(int64_t i) const;
    void ConsiderNeighbour(int64_t i, int64_t start, uint64_t length, Copy& best) const;
    void FlushLiterals(int64_t end);
    void Emit(Action action, uint64_t length);

    const uint8_t* x_;  // original, then modified
    int64_t sourceSize_, targetSize_, n_;
    const int32_t* sa_;
    const int32_t* rank_;  // rank of the suffix at sourceSize_ + i
    std::string& out_;
    int64_t sourceRelative_ = 0, targetRelative_ = 0;
    int64_t literalStart_ = -1;
};

uint64_t Encoder::CommonPrefix(int64_t a, int64_t b, uint64_t limit) const {
    const uint64_t room = uint64_t(n_ - (a > b ? a : b));
    if (limit > room) limit = room;
    uint64_t length = 0;
    while (length < limit && x_[a + length] == x_[b + length]) ++length;
    return length;
}

// Bytes from modified position i on that equal the original's at the same offset.
uint64_t Encoder::SourceReadLength(int64_t i) const {
    if (i >= sourceSize_) return 0;
    const uint64_t limit = uint64_t(sourceSize_ - i < targetSize_ - i ? sourceSize_ - i : targetSize_ - i);
    return CommonPrefix(i, sourceSize_ + i, limit);
}

void Encoder::ConsiderNeighbour(int64_t i, int64_t start, uint64_t length, Copy& best) const {
    Copy copy;
    if (start < sourceSize_) {
        copy.action = kSourceCopy;
        copy.from = start;
        // The suffix runs on into the modified file; a copy stays in the original.
        if (length > uint64_t(sourceSize_ - start)) length = uint64_t(sourceSize_ - start);
        copy.length = length;
        copy.saving = int64_t(length) - int64_t(NumberSize(ActionNumber(kSourceCopy, length)) +
                                                NumberSize(SignedNumber(start - sourceRelative_)));
    } else {
        // Only what is written already; the copy itself may run on into
        // the bytes it writes (the applier copies byte by byte).
        if (start - sourceSize_ >= i) return;
        copy.action = kTargetCopy;
        copy.from = start - sourceSize_;
        copy.length = length;
        copy.saving = int64_t(length) - int64_t(NumberSize(ActionNumber(kTargetCopy, length)) +
                                                NumberSize(SignedNumber(copy.from - targetRelative_)));
    }
    const bool better = copy.saving > best.saving || (copy.saving == best.saving && copy.length > best.length);
    if (copy.length >= kMinCopy && better) best = copy;
}

// Suffixes next to this one in sorted order share the longest prefixes with
// it, and the shared length only falls with the distance, which bounds each
// comparison by the one before.
Copy Encoder::BestCopy(int64_t i) const {
    Copy best = {kSourceCopy, 0, 0, 0};
    const int64_t here = sourceSize_ + i;
    const int64_t rank = rank_[i];
    for (int direction = -1; direction <= 1; direction += 2) {
        uint64_t bound = uint64_t(n_);
        for (int step = 1; step <= kNeighbours; ++step) {
            const int64_t r = rank + direction * step;
            if (r < 0 || r >= n_) break;
            const uint64_t length = CommonPrefix(here, sa_[r], bound);
            bound = length;
            if (length < kMinCopy || int64_t(length) < best.saving) break;
            ConsiderNeighbour(i, sa_[r], length, best);
        }
    }
    return best;
}

void Encoder::Emit(Action action, uint64_t length) { AppendNumber(out_, ActionNumber(action, length)); }

void Encoder::FlushLiterals(int64_t end) {
    if (literalStart_ < 0) return;
    Emit(kTargetRead, uint64_t(end - literalStart_));
    out_.append(reinterpret_cast<const char*>(x_ + sourceSize_ + literalStart_), size_t(end - literalStart_));
    literalStart_ = -1;
}

void Encoder::Encode(CreateProgress progress, void* context) {
    const int64_t kProgressStep = 1 << 20;
    int64_t nextProgress = kProgressStep;
    for (int64_t i = 0; i < targetSize_;) {
        if (progress && i >= nextProgress) {
            progress(context, uint64_t(i), uint64_t(targetSize_));
            nextProgress = i + kProgressStep;
        }
        const uint64_t read = SourceReadLength(i);
        const int64_t readSaving = int64_t(read) - int64_t(read ? NumberSize(ActionNumber(kSourceRead, read)) : 0);
        const Copy copy = read >= kPlainlyUnchanged ? Copy{kSourceCopy, 0, 0, 0} : BestCopy(i);
        if (readSaving >= kMinSaving && readSaving >= copy.saving) {
            FlushLiterals(i);
            Emit(kSourceRead, read);
            i += int64_t(read);
        } else if (copy.saving >= kMinSaving) {
            FlushLiterals(i);
            Emit(copy.action, copy.length);
            int64_t& relative = copy.action == kSourceCopy ? sourceRelative_ : targetRelative_;
            AppendNumber(out_, SignedNumber(copy.from - relative));
            relative = copy.from + int64_t(copy.length);
            i += int64_t(copy.length);
        } else {
            if (literalStart_ < 0) literalStart_ = i;
            ++i;
        }
    }
    FlushLiterals(targetSize_);
}

uint32_t Crc32(const uint8_t* bytes, size_t size) {
    uint32_t crc = 0;
    for (size_t done = 0; done < size;) {
        const uint32_t piece = size - done > 0x40000000 ? 0x40000000 : uint32_t(size - done);
        crc = Crc32Update(crc, bytes + done, piece);
        done += piece;
    }
    return crc;
}

}  // namespace

bool CreateBpsPatch(const uint8_t* original, size_t originalSize, const uint8_t* modified, size_t modifiedSize,
                    std::string& patch, std::string& reason, CreateProgress progress, void* context) {
    const uint64_t n = uint64_t(originalSize) + modifiedSize;
    if (n > uint64_t(kMaxSuffixArrayText)) {
        reason = "the two files together exceed 2 GiB, more than the copy search can index";
        return false;
    }
    Buffer<uint8_t> joined{size_t(n)};
    Buffer<int32_t> sa{size_t(n)};
    Buffer<int32_t> rank(modifiedSize);
    if (!joined.items || !sa.items || !rank.items) {
        reason = "out of memory: finding the copies takes about " + std::to_string((9 * n) >> 20) + " MiB";
        return false;
    }
    if (originalSize) memcpy(joined.items, original, originalSize);
    if (modifiedSize) memcpy(joined.items + originalSize, modified, modifiedSize);
    if (progress) progress(context, 0, modifiedSize);
    if (!BuildSuffixArray(joined.items, int32_t(n), sa.items)) {
        reason = "out of memory while sorting the suffixes";
        return false;
    }
    for (uint64_t r = 0; r < n; ++r)
        if (uint64_t(sa.items[r]) >= originalSize) rank.items[size_t(sa.items[r]) - originalSize] = int32_t(r);

    patch = "BPS1";
    AppendNumber(patch, originalSize);
    AppendNumber(patch, modifiedSize);
    AppendNumber(patch, 0);  // no metadata
    Encoder encoder(joined.items, int64_t(originalSize), int64_t(modifiedSize), sa.items, rank.items, patch);
    encoder.Encode(progress, context);
    AppendLittleEndian32(patch, Crc32(original, originalSize));
    AppendLittleEndian32(patch, Crc32(modified, modifiedSize));
    AppendLittleEndian32(patch, Crc32(reinterpret_cast<const uint8_t*>(patch.data()), patch.size()));
    if (progress) progress(context, modifiedSize, modifiedSize);
    return true;
}
