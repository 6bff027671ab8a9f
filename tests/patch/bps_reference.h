// A second, deliberately plain reading of the BPS rules, used to cross-check
// the decoder in the tests, the tool's and the program's drivers and the
// fuzzer; and a maker of BPS blocks from a list of actions.
//
//   "BPS1", source size, target size, metadata size (numbers: 7 bits a
//   byte, low first, a set top bit ends it, each continuing byte adds one to
//   the next place), metadata, actions up to the last 12 bytes, then the
//   source, target and patch CRC-32s little-endian. Action number: kind in
//   the low 2 bits, length - 1 above. 0 copies the source at the output
//   position, 1 takes bytes from the block, 2 and 3 move a source / output
//   cursor by a signed distance (bit 0 the sign) and copy from there.
#pragma once
#include <stdint.h>

#include <random>
#include <string>

namespace bpsref {

// Bit by bit, from the polynomial: shares nothing with the product's table.
inline uint32_t Crc32(const std::string& bytes, size_t count = std::string::npos) {
    if (count > bytes.size()) count = bytes.size();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < count; ++i) {
        crc ^= static_cast<uint8_t>(bytes[i]);
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

inline void PutNumber(std::string& out, uint64_t value) {
    for (;;) {
        const uint8_t low = value & 0x7F;
        value >>= 7;
        if (value == 0) {
            out += static_cast<char>(0x80 | low);
            return;
        }
        out += static_cast<char>(low);
        --value;
    }
}

inline void PutWord(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>(value >> (8 * i));
}

enum Result { Ok, Malformed, SourceMismatch, TargetMismatch, PatchMismatch };

// Applies the block to source. Every check is made on 64-bit signed values.
// *target is set for Ok and TargetMismatch.
inline Result Decode(const std::string& patch, const std::string& source, std::string* target) {
    const int64_t n = static_cast<int64_t>(patch.size());
    if (n < 4 + 3 + 12 || patch.compare(0, 4, "BPS1") != 0) return Malformed;
    const int64_t end = n - 12;
    int64_t p = 4;
    bool bad = false;
    auto number = [&]() -> int64_t {
        int64_t value = 0, shift = 1;
        for (int i = 0; i < 6; ++i) {
            if (p >= end) break;
            const uint8_t x = static_cast<uint8_t>(patch[p++]);
            value += (x & 0x7F) * shift;
            if (x & 0x80) return value;
            shift <<= 7;
            value += shift;
        }
        bad = true;
        return 0;
    };
    auto word = [&](int64_t at) {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= uint32_t(uint8_t(patch[at + i])) << (8 * i);
        return v;
    };
    const int64_t sourceSize = number(), targetSize = number(), metaSize = number();
    if (bad || sourceSize > 0xFFFFFFFFll || targetSize > 0xFFFFFFFFll || metaSize > end - p) return Malformed;
    if (Crc32(patch, size_t(n - 4)) != word(n - 4)) return PatchMismatch;
    if (int64_t(source.size()) != sourceSize || Crc32(source) != word(end)) return SourceMismatch;
    p += metaSize;
    std::string out;
    int64_t sourceAt = 0, targetAt = 0;
    while (p < end) {
        const int64_t action = number();
        if (bad) return Malformed;
        const int64_t length = (action >> 2) + 1;
        const int64_t at = int64_t(out.size());
        if (at + length > targetSize) return Malformed;
        switch (action & 3) {
        case 0:
            if (at + length > sourceSize) return Malformed;
            out += source.substr(size_t(at), size_t(length));
            break;
        case 1:
            if (p + length > end) return Malformed;
            out += patch.substr(size_t(p), size_t(length));
            p += length;
            break;
        default: {
            const int64_t d = number();
            if (bad) return Malformed;
            int64_t& cursor = (action & 3) == 2 ? sourceAt : targetAt;
            cursor += (d & 1) ? -(d >> 1) : (d >> 1);
            if (cursor < 0) return Malformed;
            if ((action & 3) == 2) {
                if (cursor + length > sourceSize) return Malformed;
                out += source.substr(size_t(cursor), size_t(length));
            } else {
                if (cursor >= at) return Malformed;
                for (int64_t i = 0; i < length; ++i) out += out[size_t(cursor + i)];
            }
            cursor += length;
        }
        }
    }
    if (int64_t(out.size()) != targetSize) return Malformed;
    *target = out;  // also when its CRC-32 is not the block's, for the caller to compare
    return Crc32(out) == word(end + 4) ? Ok : TargetMismatch;
}

// A block being made: header and metadata, then actions appended, then
// Finish adds the three CRC-32s.
struct Maker {
    std::string block;
    Maker(uint64_t sourceSize, uint64_t targetSize, const std::string& metadata = "") {
        block = "BPS1";
        PutNumber(block, sourceSize);
        PutNumber(block, targetSize);
        PutNumber(block, metadata.size());
        block += metadata;
    }
    void SourceRead(uint64_t length) { PutNumber(block, (length - 1) << 2 | 0); }
    void TargetRead(const std::string& bytes) {
        PutNumber(block, (bytes.size() - 1) << 2 | 1);
        block += bytes;
    }
    // distance: how far the cursor moves before the copy.
    void Copy(int kind, uint64_t length, int64_t distance) {
        PutNumber(block, (length - 1) << 2 | uint64_t(kind));
        PutNumber(block, distance < 0 ? (uint64_t(-distance) << 1 | 1) : uint64_t(distance) << 1);
    }
    std::string Finish(uint32_t sourceCrc, uint32_t targetCrc) {
        std::string out = block;
        PutWord(out, sourceCrc);
        PutWord(out, targetCrc);
        PutWord(out, Crc32(out));
        return out;
    }
};

// A random valid block turning source into a random target made of all four
// kinds of action; *target receives the result as the maker meant it.
inline std::string RandomPatch(std::mt19937& rng, const std::string& source, uint32_t targetSize,
                               std::string* target) {
    auto pick = [&](uint32_t n) { return uint32_t(rng() % n); };
    Maker maker(source.size(), targetSize, pick(3) == 0 ? "<meta>" + std::to_string(rng()) + "</meta>" : "");
    std::string out;
    int64_t sourceAt = 0, targetAt = 0;
    while (out.size() < targetSize) {
        const uint32_t left = uint32_t(targetSize - out.size());
        const uint32_t length = 1 + pick(left < 64 ? left : (pick(8) == 0 ? left : 64));
        const uint32_t kind = pick(4);
        if (kind == 0 && out.size() + length <= source.size()) {
            maker.SourceRead(length);
            out += source.substr(out.size(), length);
        } else if (kind == 2 && length <= source.size()) {
            const int64_t from = pick(uint32_t(source.size() - length + 1));
            maker.Copy(2, length, from - sourceAt);
            out += source.substr(size_t(from), length);
            sourceAt = from + length;
        } else if (kind == 3 && !out.empty()) {
            const int64_t from = pick(uint32_t(out.size()));
            maker.Copy(3, length, from - targetAt);
            for (uint32_t i = 0; i < length; ++i) out += out[size_t(from + i)];
            targetAt = from + length;
        } else {
            std::string bytes(length, '\0');
            for (char& c : bytes) c = char(rng());
            maker.TargetRead(bytes);
            out += bytes;
        }
    }
    *target = out;
    return maker.Finish(Crc32(source), Crc32(out));
}

}  // namespace bpsref

namespace bpsref {

// A block with few, long actions of every kind for a large source (at least
// 4 MiB): a result larger than the source, with a run made by an
// overlapping TargetCopy and pieces read from far apart.
inline std::string LongPatch(const std::string& source, std::string* target) {
    const uint64_t n = source.size(), quarter = n / 4;
    const std::string literal = "written by the patch";
    const uint64_t targetSize = n / 2 + literal.size() + quarter + (quarter + 1) + n / 2;
    Maker m(n, targetSize, "<patch>long</patch>");
    std::string out;
    m.SourceRead(n / 2);  // the first half in place
    out += source.substr(0, size_t(n / 2));
    m.TargetRead(literal);
    out += literal;
    m.Copy(2, quarter, int64_t(3 * quarter));  // the last quarter
    out += source.substr(size_t(3 * quarter), size_t(quarter));
    m.Copy(3, quarter + 1, int64_t(out.size()) - 3);  // the last 3 bytes repeated
    for (uint64_t i = 0; i < quarter + 1; ++i) out += out[out.size() - 3];
    m.Copy(2, n / 2, -int64_t(4 * quarter));  // the first half again, from the source's start
    out += source.substr(0, size_t(n / 2));
    *target = out;
    return m.Finish(Crc32(source), Crc32(out));
}

}  // namespace bpsref
