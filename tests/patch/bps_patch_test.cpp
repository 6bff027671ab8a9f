// The BPS decoder: one table of blocks, each refused for its own reason or
// applied, and random blocks (and random damage to them) read by the
// decoder and by the plain reference in bps_reference.h.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "bps_reference.h"
#include "patch/bps_patch.h"
#include "patch/patch_run.h"
#include "stream_test_files.h"

#ifndef _WIN32
#include "platform/file_faults.h"
#endif

#include <filesystem>

namespace {

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
uint32_t Size(const std::string& s) { return static_cast<uint32_t>(s.size()); }

// BpsApplyInMemory into a buffer of the header's target size.
BpsProblem ApplyInMemory(const std::string& patch, const std::string& source, std::string* out) {
    BpsScan scan;
    ReadBpsHeader(Bytes(patch), Size(patch), &scan);
    out->assign(scan.valid ? scan.header.targetSize : 0, '\0');
    BpsProblem problem = BpsProblemNone;
    BpsApplyInMemory(Bytes(patch), Size(patch), Bytes(source), Size(source),
                     reinterpret_cast<uint8_t*>(&(*out)[0]), Size(*out), &problem);
    return problem;
}

std::string Corrupt(std::string block, size_t at) {
    block[at] ^= 0x40;
    return block;
}

// The block less its patch CRC-32, which is then computed afresh: damage the
// patch's own check cannot see.
std::string Refinish(const std::string& block) {
    std::string out = block.substr(0, block.size() - 4);
    bpsref::PutWord(out, bpsref::Crc32(out));
    return out;
}

const std::string kSource = "0123456789abcdefghij";  // 20 bytes

struct Case {
    const char* name;
    std::string patch;
    std::string source;
    BpsProblem problem;
    std::string result;  // for BpsProblemNone
};

std::string Made(uint64_t sourceSize, uint64_t targetSize, void (*actions)(bpsref::Maker&), const std::string& target,
                 const std::string& source = kSource) {
    bpsref::Maker m(sourceSize, targetSize, "<m/>");
    actions(m);
    return m.Finish(bpsref::Crc32(source), bpsref::Crc32(target));
}

std::vector<Case> Cases() {
    using bpsref::Maker;
    std::vector<Case> cases;
    const std::string every = "0123" "XY" "ab" "ababa" "9";
    const std::string good = Made(20, 14, [](Maker& m) {
        m.SourceRead(4);                  // 0123
        m.TargetRead("XY");               // XY
        m.Copy(2, 2, 10);                 // ab (source 10)
        m.Copy(3, 5, 6);                  // ababa: overlaps the bytes it writes
        m.Copy(2, 1, -3);                 // 9 (source 12 - 3)
    }, every);
    cases.push_back({"all four kinds", good, kSource, BpsProblemNone, every});
    cases.push_back({"empty result", Made(20, 0, [](Maker&) {}, ""), kSource, BpsProblemNone, ""});
    cases.push_back({"wrong signature", "BPS2" + good.substr(4), kSource, BpsProblemNoHeader, ""});
    cases.push_back({"too short", good.substr(0, 18), kSource, BpsProblemCutHeader, ""});
    cases.push_back({"number cut by the CRCs", Refinish(std::string("BPS1\x14\x0D") + std::string(13, '\0')), kSource,
                     BpsProblemBadNumber, ""});
    cases.push_back({"number past any size",
                     Refinish(std::string("BPS1\x7F\x7F\x7F\x7F\x7F\x7F\x80\x80\x80") + std::string(12, '\0')), kSource,
                     BpsProblemBadNumber, ""});
    cases.push_back({"source of 4 GiB", Made(1ull << 32, 1, [](Maker& m) { m.TargetRead("x"); }, "x"), kSource,
                     BpsProblemTooLarge, ""});
    {
        Maker m(20, 1);
        m.block.back() = char(0x80 + 100);  // metadata size 100
        cases.push_back({"metadata past the end", m.Finish(0, 0), kSource, BpsProblemCutMetadata, ""});
    }
    cases.push_back({"damaged download", Corrupt(good, good.size() - 20), kSource, BpsProblemPatchCrc, ""});
    {
        Maker m(20, 8);
        m.TargetRead("abcdefgh");
        std::string block = m.block.substr(0, m.block.size() - 4);  // data cut by the CRCs
        bpsref::PutWord(block, 0);
        bpsref::PutWord(block, 0);
        bpsref::PutWord(block, bpsref::Crc32(block));
        cases.push_back({"data runs into the CRCs", block, kSource, BpsProblemCutData, ""});
    }
    cases.push_back({"writes past the target", Made(20, 3, [](Maker& m) { m.SourceRead(4); }, "0123"), kSource,
                     BpsProblemPastTarget, ""});
    cases.push_back({"SourceRead past the source", Made(2, 4, [](Maker& m) { m.SourceRead(4); }, "0123", "01"), "01",
                     BpsProblemOutsideSource, ""});
    cases.push_back({"SourceCopy before the source", Made(20, 2, [](Maker& m) { m.Copy(2, 2, -1); }, "xx"), kSource,
                     BpsProblemOutsideSource, ""});
    cases.push_back({"SourceCopy past the source", Made(20, 2, [](Maker& m) { m.Copy(2, 2, 19); }, "xx"), kSource,
                     BpsProblemOutsideSource, ""});
    cases.push_back({"TargetCopy of a byte not yet written",
                     Made(20, 3, [](Maker& m) { m.SourceRead(1); m.Copy(3, 2, 1); }, "xxx"), kSource,
                     BpsProblemOutsideTarget, ""});
    cases.push_back({"TargetCopy before the start",
                     Made(20, 3, [](Maker& m) { m.SourceRead(1); m.Copy(3, 2, -1); }, "xxx"), kSource,
                     BpsProblemOutsideTarget, ""});
    cases.push_back({"actions end short of the target", Made(20, 5, [](Maker& m) { m.SourceRead(4); }, "0123"),
                     kSource, BpsProblemShortTarget, ""});
    cases.push_back({"another source", good, "0123456789abcdefghiJ", BpsProblemSourceMismatch, ""});
    cases.push_back({"source of another size", good, kSource + "k", BpsProblemSourceMismatch, ""});
    cases.push_back({"result CRC-32 lies", Refinish(Corrupt(good, good.size() - 5)), kSource,
                     BpsProblemTargetMismatch, ""});
    return cases;
}

TEST(BpsDecoder, TableOfBlocks) {
    for (const Case& c : Cases()) {
        std::string out;
        EXPECT_EQ(int(ApplyInMemory(c.patch, c.source, &out)), int(c.problem)) << c.name;
        if (c.problem == BpsProblemNone) EXPECT_EQ(out, c.result) << c.name;
        // The reference agrees on what is acceptable.
        std::string reference;
        EXPECT_EQ(bpsref::Decode(c.patch, c.source, &reference) == bpsref::Ok, c.problem == BpsProblemNone)
            << c.name;
    }
}

TEST(BpsDecoder, HeaderAndCountsOfAScan) {
    const Case good = Cases()[0];
    BpsScan scan;
    ASSERT_TRUE(ScanBpsPatch(Bytes(good.patch), Size(good.patch), &scan));
    EXPECT_EQ(scan.header.sourceSize, 20u);
    EXPECT_EQ(scan.header.targetSize, 14u);
    EXPECT_EQ(good.patch.substr(scan.header.metadataOffset, scan.header.metadataSize), "<m/>");
    EXPECT_EQ(scan.header.sourceCrc, bpsref::Crc32(kSource));
    EXPECT_EQ(scan.header.targetCrc, bpsref::Crc32(good.result));
    const uint32_t counts[4] = {1, 1, 2, 1}, bytes[4] = {4, 2, 3, 5};
    for (int kind = 0; kind < 4; ++kind) {
        EXPECT_EQ(scan.actionCount[kind], counts[kind]) << kind;
        EXPECT_EQ(scan.actionBytes[kind], bytes[kind]) << kind;
    }
}

// Random blocks, then the same blocks with a few bytes changed and their own
// CRC-32 made right again, so only the decoder's own checks stand between
// the damage and the result: both readings accept the same blocks and give
// the same bytes.
TEST(BpsDecoder, RandomBlocksMatchTheReference) {
    std::mt19937 rng(19);
    int accepted = 0, refused = 0;
    for (int i = 0; i < 400; ++i) {
        std::string source(rng() % 3000, '\0');
        for (char& c : source) c = char(rng() % 7);  // few values: copies find repeats
        std::string meant;
        std::string patch = bpsref::RandomPatch(rng, source, rng() % 4000, &meant);
        if (i % 2 == 1) {
            for (int k = 1 + int(rng() % 3); k > 0; --k) patch[4 + rng() % (patch.size() - 16)] ^= char(1 << (rng() % 8));
            std::string guess;
            const bpsref::Result r = bpsref::Decode(Refinish(patch), source, &guess);
            if (r == bpsref::TargetMismatch || r == bpsref::Ok) {
                // Structurally sound: give it the CRC-32 of what it makes.
                std::string body = patch.substr(0, patch.size() - 8);
                bpsref::PutWord(body, bpsref::Crc32(guess));
                patch = Refinish(body + "0000");
            } else {
                patch = Refinish(patch);
            }
        }
        std::string reference, ours;
        const bool referenceTakes = bpsref::Decode(patch, source, &reference) == bpsref::Ok;
        const BpsProblem problem = ApplyInMemory(patch, source, &ours);
        ASSERT_EQ(problem == BpsProblemNone, referenceTakes) << "block " << i << " problem " << int(problem);
        if (referenceTakes) {
            ASSERT_EQ(ours, reference) << "block " << i;
            if (i % 2 == 0) ASSERT_EQ(ours, meant) << "block " << i;
            ++accepted;
        } else {
            ++refused;
        }
    }
    // Both sides of the comparison were exercised.
    EXPECT_GT(accepted, 200);
    EXPECT_GT(refused, 25);
}

// The file route: what a run leaves in the target's folder.
struct FileRun : PatchRunHooks {
    bool backup = false;
    std::vector<uint32_t> progress;
    PatchRunReport report = {};
    bool WantsBackup() override { return backup; }
    void Progress(uint32_t percent) override { progress.push_back(percent); }
    void Finished(const PatchRunReport& r) override { report = r; }

    PatchResult Run(const std::string& patch, const streamtest::TempDir& dir) {
        progress.clear();
        return ApplyPatchBlock(Bytes(patch), Size(patch), dir.PathBytes("t.bin"), this, nullptr);
    }
};

// The names in a folder, sorted: a temporary left behind shows here.
std::string Listing(const streamtest::TempDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path("")))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& name : names) text += name + " ";
    return text;
}

// Random blocks as in the comparison above, applied to files: the result is
// the reference's, progress climbs from 0 to 100, and a refused block leaves
// the target as it was and nothing beside it.
TEST(BpsFileRoute, RandomBlocksGiveTheReferenceFiles) {
    using namespace streamtest;
    TempDir dir;
    ASSERT_TRUE(dir.Ok());
    std::mt19937 rng(1919);
    for (int i = 0; i < 60; ++i) {
        std::string source(rng() % 5000, '\0');
        for (char& c : source) c = char(rng() % 5);
        std::string meant, reference;
        std::string patch = bpsref::RandomPatch(rng, source, rng() % 6000, &meant);
        if (i % 3 == 2) patch[4 + rng() % (patch.size() - 16)] ^= 0x10;  // caught by the patch CRC-32
        if (i % 3 == 1) patch = Refinish(Corrupt(patch, 4 + rng() % (patch.size() - 16)));
        ASSERT_TRUE(WriteAll(dir.Path("t.bin"), source));
        FileRun run;
        const PatchResult result = run.Run(patch, dir);
        const bool takes = bpsref::Decode(patch, source, &reference) == bpsref::Ok;
        ASSERT_EQ(result == PatchResultDone, takes) << "block " << i << " result " << int(result);
        EXPECT_EQ(ReadAll(dir.Path("t.bin")), takes ? reference : source) << "block " << i;
        EXPECT_EQ(Listing(dir), "t.bin ") << "block " << i;
        if (takes) {
            ASSERT_FALSE(run.progress.empty());
            EXPECT_EQ(run.progress.front(), 0u);
            EXPECT_EQ(run.progress.back(), 100u);
            EXPECT_TRUE(std::is_sorted(run.progress.begin(), run.progress.end()));
        }
    }
}

// One row per outcome of a run on a file.
TEST(BpsFileRoute, Outcomes) {
    using namespace streamtest;
    TempDir dir;
    ASSERT_TRUE(dir.Ok());
    std::mt19937 rng(7);
    const std::string source = Pattern(300000, 2);
    std::string result;
    const std::string patch = bpsref::RandomPatch(rng, source, 310000, &result);
    struct Row {
        const char* name;
        std::string before;
        bool backup;
        PatchResult result;
        std::string after;
        std::string listing;
    } rows[] = {
        {"patched", source, false, PatchResultDone, result, "t.bin "},
        {"patched, original kept as the .bak", source, true, PatchResultDone, result, "t.bin t.bin.bak "},
        {"already patched: nothing written", result, true, PatchResultAlreadyPatched, result, "t.bin "},
        {"another file: refused", source.substr(1), true, PatchResultWrongSource, source.substr(1), "t.bin "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(dir.Path(""));
        std::filesystem::create_directory(dir.Path(""));
        ASSERT_TRUE(WriteAll(dir.Path("t.bin"), row.before));
        // A killed run's leftover goes; a file that only looks alike stays.
        ASSERT_TRUE(WriteAll(dir.Path("t.bin.tessel-x1y2z3.tmp"), "left by a kill"));
        ASSERT_TRUE(WriteAll(dir.Path("t.bin.tessel-keep.txt"), "a user's file"));
        FileRun run;
        run.backup = row.backup;
        EXPECT_EQ(run.Run(patch, dir), row.result);
        EXPECT_EQ(ReadAll(dir.Path("t.bin")), row.after);
        EXPECT_EQ(Listing(dir), row.listing + "t.bin.tessel-keep.txt ");
        if (row.backup && row.result == PatchResultDone) EXPECT_EQ(ReadAll(dir.Path("t.bin.bak")), source);
        if (row.result == PatchResultWrongSource) {
            EXPECT_EQ(run.report.bps.foundSize, row.before.size());
            EXPECT_EQ(run.report.bps.foundCrc, bpsref::Crc32(row.before));
            EXPECT_EQ(run.report.bps.scan.header.sourceCrc, bpsref::Crc32(source));
        }
    }
}

#ifndef _WIN32
// Failures of the file system, injected below the file wrappers: the N-th
// call of each operation fails in turn, until the run gets past them all.
// Whatever fails, the target is the original and nothing is left beside it.
FileOperation g_failing;
int g_failAt = 0;
bool FailNth(FileOperation operation) { return operation == g_failing && --g_failAt == 0; }

TEST(BpsFileRoute, EveryFailingOperationLeavesTheOriginal) {
    using namespace streamtest;
    TempDir dir;
    ASSERT_TRUE(dir.Ok());
    std::mt19937 rng(5);
    // Long enough that the result is written in several pieces and a
    // TargetCopy reads back from the file.
    const std::string source = Pattern(1200000, 4);
    std::string result;
    std::string patch = bpsref::RandomPatch(rng, source, 1300000, &result);
    const FileOperation operations[] = {FileOperation::Open,  FileOperation::Seek,  FileOperation::Read,
                                        FileOperation::Write, FileOperation::SetEnd, FileOperation::Flush,
                                        FileOperation::Close, FileOperation::Rename};
    for (bool backup : {false, true})
        for (FileOperation operation : operations)
            // Every early call, then ever sparser ones.
            for (int nth = 1;; nth += 1 + nth / 4) {
                SCOPED_TRACE("operation " + std::to_string(int(operation)) + " call " + std::to_string(nth) +
                             (backup ? " with backup" : ""));
                std::filesystem::remove(dir.Path("t.bin.bak"));
                ASSERT_TRUE(WriteAll(dir.Path("t.bin"), source));
                FileRun run;
                run.backup = backup;
                g_failing = operation;
                g_failAt = nth;
                SetFileFaultHook(FailNth);
                const PatchResult outcome = run.Run(patch, dir);
                SetFileFaultHook(nullptr);
                if (outcome == PatchResultDone) {
                    EXPECT_EQ(ReadAll(dir.Path("t.bin")), result);
                    break;
                }
                EXPECT_TRUE(outcome == PatchResultWriteFailed || outcome == PatchResultBackupFailed) << int(outcome);
                EXPECT_EQ(ReadAll(dir.Path("t.bin")), source);
                // The original may already have its second name when the
                // last step fails: then the .bak is the original too.
                if (backup && std::filesystem::exists(dir.Path("t.bin.bak")))
                    EXPECT_EQ(ReadAll(dir.Path("t.bin.bak")), source);
                std::filesystem::remove(dir.Path("t.bin.bak"));
                EXPECT_EQ(Listing(dir), "t.bin ");
                ASSERT_LT(nth, 100000);
            }
}
#endif

}  // namespace
