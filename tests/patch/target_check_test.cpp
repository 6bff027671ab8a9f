// The check before a run: CRC-32 against its published check value and
// across chunks, and each verdict on real files.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "patch/ips_patch.h"
#include "patch/patch_variants.h"
#include "patch/target_check.h"
#include "ips_reference.h"
#include "stream_test_files.h"

using streamtest::Bytes;
using streamtest::Pattern;
using streamtest::TempDir;
using streamtest::WriteAll;

namespace {

uint32_t Crc(const Bytes& bytes) {
    return Crc32Update(0, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
}

TEST(TargetCheck, Crc32MatchesItsCheckValueWholeAndInChunks) {
    EXPECT_EQ(Crc("123456789"), 0xCBF43926u);
    EXPECT_EQ(Crc(""), 0u);
    const Bytes big = Pattern(100000, 5);  // several 32 KiB chunks and a rest
    uint32_t chained = Crc32Update(0, reinterpret_cast<const uint8_t*>(big.data()), 7);
    chained = Crc32Update(chained, reinterpret_cast<const uint8_t*>(big.data()) + 7, 99993);
    EXPECT_EQ(chained, Crc(big));
    TempDir dir;
    ASSERT_TRUE(WriteAll(dir.Path("big.bin"), big));
    FileHandle file = OpenFileHandle(ByteString(dir.Path("big.bin").c_str()), OpenModeReadOnly);
    uint32_t size = 0, crc = 0;
    EXPECT_TRUE(FileSizeAndCrc(file, &size, &crc));
    CloseFileHandle(file);
    EXPECT_EQ(size, 100000u);
    EXPECT_EQ(crc, Crc(big));
}

// Bit by bit, straight from the polynomial: the reference the table-driven
// CRC is compared with.
uint32_t BitwiseCrc(const uint8_t* p, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

TEST(TargetCheck, Crc32AgreesWithTheBitwiseReferenceAtAnyAlignmentAndSplit) {
    std::mt19937 rng(20);
    std::vector<uint8_t> bytes(4096 + 64);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    for (int trial = 0; trial < 2000; ++trial) {
        const size_t start = rng() % 16;
        const size_t length = trial < 100 ? trial : rng() % 4096;  // every short length, then any
        const size_t split = length ? rng() % (length + 1) : 0;
        const uint8_t* p = bytes.data() + start;
        uint32_t crc = Crc32Update(0, p, static_cast<uint32_t>(split));
        crc = Crc32Update(crc, p + split, static_cast<uint32_t>(length - split));
        ASSERT_EQ(crc, BitwiseCrc(p, length)) << "start " << start << " length " << length << " split " << split;
    }
}

TEST(TargetCheck, VerdictsOnRealTargets) {
    // Two overlapping records: the later one's bytes are the ones that stay.
    const Bytes patch = Bytes("PATCH\0\0\x04\0\x06" "abcdef" "\0\0\x06\0\0\0\x03Z" "\0\0\x28\0\x03" "end", 32);
    const Bytes original = Pattern(48, 3);
    std::vector<uint8_t> image(original.begin(), original.end());
    ASSERT_TRUE(ipsref::Apply(std::vector<uint8_t>(patch.begin(), patch.end()), &image));
    const Bytes patched(image.begin(), image.end());
    const TargetFacts facts = {48, Crc(original), static_cast<uint32_t>(patched.size()), Crc(patched)};
    Bytes halfway = original;
    halfway.replace(4, 6, "abcdef");  // the first record only
    Bytes edited = patched;
    edited[0] ^= 1;  // patched, then changed where the patch does not write
    Bytes firstUndone = patched;
    firstUndone[4] = original[4];  // the last record's bytes are there, not all of the first's
    const struct {
        const char* name;
        Bytes target;
        bool withFacts;
        TargetVerdict verdict;
    } rows[] = {
        {"original, no facts", original, false, TargetUnchecked},
        {"original", original, true, TargetIsOriginal},
        {"patched, no facts: every byte there", patched, false, TargetAlreadyPatched},
        {"patched", patched, true, TargetAlreadyPatched},
        {"patched and edited elsewhere", edited, true, TargetAlreadyPatched},
        {"half patched", halfway, true, TargetUnknown},
        {"half patched, no facts", halfway, false, TargetUnchecked},
        {"all but a byte of the first record, no facts", firstUndone, false, TargetUnchecked},
        {"shorter than the patch reaches", patched.substr(0, 42), false, TargetUnchecked},
        {"another file", Pattern(48, 9), true, TargetUnknown},
    };
    TempDir dir;
    const uint8_t* block = reinterpret_cast<const uint8_t*>(patch.data());
    PatchScan scan;
    ASSERT_TRUE(ScanPatch(block, static_cast<uint32_t>(patch.size()), &scan));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(WriteAll(dir.Path("t.bin"), row.target));
        EXPECT_EQ(CheckTarget(block, scan, ByteString(dir.Path("t.bin").c_str()), row.withFacts ? &facts : nullptr),
                  row.verdict);
    }
    // A block without records never finds its bytes "there".
    PatchScan empty;
    ASSERT_TRUE(ScanPatch(reinterpret_cast<const uint8_t*>("PATCH"), 5, &empty));
    EXPECT_EQ(CheckTarget(reinterpret_cast<const uint8_t*>("PATCH"), empty, ByteString(dir.Path("t.bin").c_str()),
                          nullptr),
              TargetUnchecked);
}

}  // namespace

namespace {

std::vector<uint8_t> Field3(uint32_t v) { return {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

// "PATCH", records of random kinds at random offsets (some below 512, a
// few writing nothing), maybe an end marker and a truncation size.
std::vector<uint8_t> RandomPatch(std::mt19937& rng, int64_t* truncate) {
    std::vector<uint8_t> block = {'P', 'A', 'T', 'C', 'H'};
    const int records = 1 + rng() % 6;
    for (int i = 0; i < records; ++i) {
        const uint32_t offset = rng() % 4 == 0 ? rng() % 600 : rng() % 0x3000;
        auto at = Field3(offset);
        block.insert(block.end(), at.begin(), at.end());
        if (rng() % 3 == 0) {
            const uint16_t run = rng() % 5 == 0 ? 0 : 1 + rng() % 40;
            block.insert(block.end(), {0, 0, uint8_t(run >> 8), uint8_t(run), uint8_t(rng())});
        } else {
            const uint16_t size = 1 + rng() % 40;
            block.insert(block.end(), {uint8_t(size >> 8), uint8_t(size)});
            for (uint16_t k = 0; k < size; ++k) block.push_back(uint8_t(rng()));
        }
    }
    *truncate = -1;
    if (rng() % 3 == 0) {
        block.insert(block.end(), {'E', 'O', 'F'});
        if (rng() % 2) {
            *truncate = rng() % 0x3400;
            auto size = Field3(uint32_t(*truncate));
            block.insert(block.end(), size.begin(), size.end());
        }
    }
    return block;
}

}  // namespace

// A patch moved for a copier header, against the reference reading: with
// the header added, the headered file patched equals the header and the
// patched file; without it, the headerless file patched equals the patched
// file past its first 512 bytes, and exactly the patches that write (or cut)
// below 512 are refused.
TEST(HeaderShift, MovedPatchesAgreeWithTheReferenceOnTheOtherHeaderState) {
    std::mt19937 rng(22);
    std::vector<uint8_t> image(0x3000), header(CopierHeaderSize, 0x99);
    for (uint8_t& b : image) b = uint8_t(rng());
    for (int trial = 0; trial < 3000; ++trial) {
        int64_t truncate;
        const std::vector<uint8_t> block = RandomPatch(rng, &truncate);
        std::vector<ipsref::Record> records;
        int64_t resize;
        ASSERT_TRUE(ipsref::Parse(block, &records, &resize));
        std::vector<uint8_t> patched = image;
        ASSERT_TRUE(ipsref::Apply(block, &patched));

        ByteString added, missing;
        ASSERT_TRUE(ShiftIpsBlock(block.data(), uint32_t(block.size()), HeaderAdded, &added)) << trial;
        std::vector<uint8_t> headered = header;
        headered.insert(headered.end(), image.begin(), image.end());
        ASSERT_TRUE(ipsref::Apply(std::vector<uint8_t>(added.CStr(), added.CStr() + added.Length()), &headered));
        std::vector<uint8_t> expected = header;
        expected.insert(expected.end(), patched.begin(), patched.end());
        ASSERT_TRUE(headered == expected) << "header added, trial " << trial;

        bool writesBelow = resize >= 0 && resize < int64_t(CopierHeaderSize);
        for (const ipsref::Record& r : records) writesBelow = writesBelow || (r.length && r.offset < CopierHeaderSize);
        const bool moved = ShiftIpsBlock(block.data(), uint32_t(block.size()), HeaderMissing, &missing);
        ASSERT_EQ(moved, !writesBelow) << "header missing, trial " << trial;
        if (!moved) continue;
        std::vector<uint8_t> headerless(image.begin() + CopierHeaderSize, image.end());
        ASSERT_TRUE(ipsref::Apply(std::vector<uint8_t>(missing.CStr(), missing.CStr() + missing.Length()), &headerless));
        ASSERT_TRUE(headerless == std::vector<uint8_t>(patched.begin() + CopierHeaderSize, patched.end()))
            << "header missing, trial " << trial;
    }
    // Where three bytes or the end marker's spelling stop a move.
    const struct {
        const char* name;
        uint32_t offset;
        HeaderState header;
    } refused[] = {
        {"past what an offset holds", 0xFFFF00, HeaderAdded},
        {"onto the offset read as EOF", 0x454F46 - CopierHeaderSize, HeaderAdded},
        {"onto EOF from above", 0x454F46 + CopierHeaderSize, HeaderMissing},
    };
    for (const auto& row : refused) {
        std::vector<uint8_t> block = {'P', 'A', 'T', 'C', 'H'};
        auto at = Field3(row.offset);
        block.insert(block.end(), at.begin(), at.end());
        block.insert(block.end(), {0, 1, 'x'});
        ByteString out;
        EXPECT_FALSE(ShiftIpsBlock(block.data(), uint32_t(block.size()), row.header, &out)) << row.name;
    }
}
