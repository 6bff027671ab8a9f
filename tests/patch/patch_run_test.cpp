// The patch run's write path against the plain reference applier, and what
// it leaves behind when any operation on the target fails.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "faulty_stream.h"
#include "ips_reference.h"
#include "patch/byte_stream.h"
#include "patch/patch_run.h"
#include "stream_test_files.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_faults.h"
#endif

using namespace streamtest;

namespace {

typedef std::vector<uint8_t> Block;

// A random block: records overlapping each other and the target's end,
// runs, now and then records far apart (joined and split writes) and an
// "EOF" with a size that cuts or extends.
Block RandomPatch(std::mt19937& rng, uint32_t reach) {
    Block b = {'P', 'A', 'T', 'C', 'H'};
    const int records = int(rng() % 40);
    for (int i = 0; i < records; ++i) {
        uint32_t offset = rng() % reach;
        // Wide patches put a third of their records across a 1 MiB edge,
        // where the run hands its work from one window to the next.
        if (reach > (1u << 20) && rng() % 3 == 0) offset = ((1 + rng() % (reach >> 20)) << 20) - rng() % 300;
        if (offset == 0x454F46) ++offset;
        b.insert(b.end(), {uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset)});
        const uint32_t length = rng() % 20 == 0 ? rng() % 70000 % 65536 : rng() % 300;
        if (rng() % 4 == 0) {  // run record
            b.insert(b.end(), {0, 0, uint8_t(length >> 8), uint8_t(length), uint8_t(rng())});
        } else {
            const uint32_t size = length ? length : 1;
            b.insert(b.end(), {uint8_t(size >> 8), uint8_t(size)});
            const uint8_t first = uint8_t(rng());
            for (uint32_t k = 0; k < size; ++k) b.push_back(uint8_t(first + k * 7));
        }
    }
    if (rng() % 5 == 0) {
        const uint32_t size = rng() % (reach + 1000);
        b.insert(b.end(), {'E', 'O', 'F', uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size)});
    }
    return b;
}

Bytes RandomTarget(std::mt19937& rng, uint32_t maxSize) {
    Bytes target(rng() % maxSize, '\0');
    for (char& c : target) c = char(rng());
    return target;
}

// "identical", or where two contents part (gtest would print megabytes).
std::string Compare(const Bytes& got, const Bytes& want) {
    if (got == want) return "identical";
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    return "sizes " + std::to_string(got.size()) + "/" + std::to_string(want.size()) + ", first difference at " +
           std::to_string(i);
}

Bytes Expected(const Block& patch, const Bytes& target) {
    Block bytes(target.begin(), target.end());
    EXPECT_TRUE(ipsref::Apply(patch, &bytes));
    return Bytes(bytes.begin(), bytes.end());
}

ByteStream* PatchStreamOf(const Block& patch) {
    return MemoryWith(Bytes(patch.begin(), patch.end()), 0);
}

TEST(PatchRunWriter, RandomPatchesGiveTheReferenceBytes) {
    std::mt19937 rng(20261208);
    for (int i = 0; i < 3000; ++i) {
        // Most cases stay near the target; one in thirty spreads its
        // records over 3 MiB, so ranges are written apart.
        const uint32_t reach = i % 30 == 0 ? 3u << 20 : 6000;
        const Block patch = RandomPatch(rng, reach);
        const Bytes before = RandomTarget(rng, 5000);
        ByteStream* stream = PatchStreamOf(patch);
        ByteStream* target = MemoryWith(before, 0);
        PatchRunReport report;
        ASSERT_EQ(ApplyPatchToStream(stream, target, nullptr, &report), PatchResultDone) << "case " << i;
        ASSERT_EQ(Compare(Contents(target), Expected(patch, before)), "identical") << "case " << i;
        Release(stream);
        Release(target);
    }
}

ByteStream* FaultyTarget(const Bytes& contents) {
    return faulty::MemoryStream(contents.data(), uint32_t(contents.size()));
}

TEST(PatchRunWriter, EveryFailingOperationLeavesTheTargetAsItWas) {
    const Bytes before = Pattern(40000, 5);
    struct Case {
        const char* name;
        Block patch;
    } cases[] = {
        {"in place, joined", {'P', 'A', 'T', 'C', 'H', 0, 0, 2, 0, 2, 'a', 'b', 0, 0, 9, 0, 1, 'c'}},
        {"apart, growing", {'P', 'A', 'T', 'C', 'H', 0, 0, 1, 0, 1, 'x', 0, 0xA0, 0, 0, 0, 0, 3, 0x55}},
        {"cut", {'P', 'A', 'T', 'C', 'H', 0, 0, 4, 0, 1, 'y', 'E', 'O', 'F', 0, 0, 10}},
        // Overlapping records, a range apart: the old bytes are kept record
        // by record, and the one written second must not win on the way back.
        {"overlapping, kept per record",
         {'P', 'A', 'T', 'C', 'H', 0, 0, 0x10, 0, 4, 'a', 'b', 'c', 'd', 0, 0, 0x12, 0, 4, 'w', 'x', 'y', 'z',
          0, 1, 0, 0, 4, 'q', 'q', 'q', 'q', 0, 0x90, 0, 0, 1, 'f'}},
        // Piled on the same bytes: the ranges are kept whole instead.
        {"piled up, kept per range",
         {'P', 'A', 'T', 'C', 'H', 0, 0, 0x20, 0, 2, 'a', 'b', 0, 0, 0x20, 0, 2, 'c', 'd', 0, 0, 0x20, 0, 0, 0, 2,
          'e', 0, 0x90, 0, 0, 1, 'f'}},
    };
    for (const Case& c : cases) {
        // A clean run counts the operations a fault can hit.
        faulty::Faults() = faulty::Schedule();
        ByteStream* stream = PatchStreamOf(c.patch);
        ByteStream* clean = FaultyTarget(before);
        ASSERT_EQ(ApplyPatchToStream(stream, clean, nullptr, nullptr), PatchResultDone) << c.name;
        const uint32_t operations = faulty::Faults().calls;
        Release(clean);
        for (uint32_t n = 1; n <= operations; ++n) {
            // Putting back reads each window's stretch first; when that read
            // fails too, the kept bytes go back one by one.
            const struct {
                const char* name;
                bool sticky, thenRead;
            } modes[] = {{"once", false, false}, {"and the read putting it back", false, true},
                         {"and all after it", true, false}};
            for (const auto& mode : modes) {
                const bool sticky = mode.sticky;
                SCOPED_TRACE(std::string(c.name) + ", operation " + std::to_string(n) + " " + mode.name);
                faulty::Schedule& faults = faulty::Faults();
                faults = faulty::Schedule();
                faults.countdown = n;
                faults.sticky = sticky;
                faults.thenRead = mode.thenRead;
                ByteStream* target = FaultyTarget(before);
                PatchRunReport report;
                const PatchResult result = ApplyPatchToStream(stream, target, nullptr, &report);
                if (!sticky) {
                    // One failure in the run: taken back whole.
                    EXPECT_EQ(result, PatchResultWriteFailed);
                    EXPECT_EQ(Compare(Contents(target), before), "identical");
                } else {
                    // Nothing works any more: either nothing had changed yet,
                    // or the run says the file may be damaged.
                    EXPECT_TRUE(result == PatchResultRestoreFailed ||
                                (result == PatchResultWriteFailed && Contents(target) == before));
                }
                EXPECT_EQ(report.ips.recordsApplied, 0u);
                Release(target);
            }
        }
        Release(stream);
    }
    faulty::Faults() = faulty::Schedule();
}

#ifndef _WIN32
// Failures of the file system itself, injected below the file wrappers:
// the N-th call of one operation fails.
FileOperation g_failing;
int g_failAt = 0;
bool FailNth(FileOperation operation) { return operation == g_failing && --g_failAt == 0; }

TEST(PatchRunFiles, FailuresOfFlushCloseAndBackupLoseNothing) {
    TempDir dir;
    ASSERT_TRUE(dir.Ok());
    const Bytes original = Pattern(70000, 3);
    const Bytes olderBackup = "an older backup";
    const Block patch = {'P', 'A', 'T', 'C', 'H', 0, 0, 5, 0, 2, 'h', 'i', 0x01, 0x20, 0, 0, 1, 'z'};
    // The patch grows the target, so its old size has to come back too.
    ASSERT_GT(Expected(patch, original).size(), original.size());
    struct Row {
        const char* name;
        FileOperation operation;
        int nth;
        bool backup;
        PatchResult result;
    } rows[] = {
        // The undo journal's flush comes first, before the target changes.
        {"flush of the journal", FileOperation::Flush, 1, false, PatchResultWriteFailed},
        {"first flush of the target", FileOperation::Flush, 2, false, PatchResultWriteFailed},
        // The target check opens the target once before the run; then the
        // target itself, then the journal.
        {"creation of the journal", FileOperation::Open, 3, false, PatchResultWriteFailed},
        {"a write of the journal", FileOperation::Write, 1, false, PatchResultWriteFailed},
        {"the second write, the first of the target", FileOperation::Write, 3, false, PatchResultWriteFailed},
        // A close that fails on a file found fully patched: the run is done.
        {"close of the target", FileOperation::Close, 2, false, PatchResultDone},
        {"the backup's copy", FileOperation::Copy, 1, true, PatchResultBackupFailed},
        {"the backup's flush", FileOperation::Flush, 1, true, PatchResultBackupFailed},
        {"the backup's rename", FileOperation::Rename, 1, true, PatchResultBackupFailed},
        {"the target's flush after a backup", FileOperation::Flush, 3, true, PatchResultWriteFailed},
        {"the target's open", FileOperation::Open, 3, true, PatchResultWriteFailed},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(WriteAll(dir.Path("t.bin"), original));
        ASSERT_TRUE(WriteAll(dir.Path("t.bin.bak"), olderBackup));
        struct Hooks : PatchRunHooks {
            bool backup;
            bool WantsBackup() override { return backup; }
            void Progress(uint32_t) override {}
            void Finished(const PatchRunReport&) override {}
        } hooks;
        hooks.backup = row.backup;
        g_failing = row.operation;
        g_failAt = row.nth;
        ByteStream* stream = PatchStreamOf(patch);
        SetFileFaultHook(FailNth);
        const PatchResult result = ApplyPatch(stream, dir.PathBytes("t.bin"), &hooks, nullptr);
        SetFileFaultHook(nullptr);
        Release(stream);
        EXPECT_EQ(result, row.result);
        const Bytes want = row.result == PatchResultDone ? Expected(patch, original) : original;
        EXPECT_EQ(Compare(ReadAll(dir.Path("t.bin")), want), "identical");
        EXPECT_EQ(access(dir.Path("t.bin.tessel-undo").c_str(), F_OK), -1) << "journal left";
        // The older backup is replaced only by a whole new one.
        const bool backupReplaced = row.backup && row.result != PatchResultBackupFailed;
        EXPECT_EQ(ReadAll(dir.Path("t.bin.bak")), backupReplaced ? original : olderBackup);
        EXPECT_EQ(access(dir.Path("t.bin.bak.partial").c_str(), F_OK), -1) << "temporary copy left";
    }

    // A run stopped midway (here: every write from the target's second on
    // fails, so it cannot be put back either) keeps its journal; the next
    // run puts the target back first, says so, patches it, and leaves
    // nothing behind.
    {
        // Two records in one range with a gap between them, and one a range
        // apart (its write fails).
        const Block apart = {'P', 'A', 'T', 'C', 'H', 0, 0, 5, 0, 2, 'h', 'i', 0, 0, 0x90, 0, 1, 'y',
                             0x00, 0x90, 0, 0, 1, 'z'};
        ASSERT_TRUE(WriteAll(dir.Path("t.bin"), original));
        g_failing = FileOperation::Write;
        g_failAt = 4;
        SetFileFaultHook([](FileOperation operation) { return operation == g_failing && --g_failAt <= 0; });
        ByteStream* stream = PatchStreamOf(apart);
        PatchRunReport report;
        EXPECT_EQ(ApplyPatch(stream, dir.PathBytes("t.bin"), nullptr, &report), PatchResultRestoreFailed);
        SetFileFaultHook(nullptr);
        EXPECT_NE(ReadAll(dir.Path("t.bin")), original);
        // The journal holds the old bytes of exactly the bytes written, not
        // the unchanged stretch between them in the same range.
        const Bytes journal = ReadAll(dir.Path("t.bin.tessel-undo"));
        const auto word = [&](size_t at) {
            return at + 4 <= journal.size() ? uint32_t(uint8_t(journal[at])) | uint32_t(uint8_t(journal[at + 1])) << 8 |
                                                  uint32_t(uint8_t(journal[at + 2])) << 16 |
                                                  uint32_t(uint8_t(journal[at + 3])) << 24
                                            : 0xFFFFFFFFu;
        };
        EXPECT_EQ(journal.substr(0, 8), "TSLUNDO1");
        struct stat info;
        ASSERT_EQ(stat(dir.Path("t.bin.tessel-undo").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << "the old bytes are the owner's only";
        EXPECT_EQ(word(16), 3u) << "entries";
        EXPECT_EQ(word(32), 5u);
        EXPECT_EQ(word(36), 2u);
        EXPECT_EQ(journal.substr(40, 2), original.substr(5, 2));
        EXPECT_EQ(word(42), 0x90u);
        EXPECT_EQ(word(46), 1u);
        EXPECT_EQ(word(51), 0x9000u);
        EXPECT_EQ(journal.size(), 32u + 3 * 8 + 2 + 1 + 1);
        EXPECT_EQ(ApplyPatch(stream, dir.PathBytes("t.bin"), nullptr, &report), PatchResultDone);
        EXPECT_TRUE(report.interruptedRunRestored);
        EXPECT_EQ(Compare(ReadAll(dir.Path("t.bin")), Expected(apart, original)), "identical");
        EXPECT_EQ(access(dir.Path("t.bin.tessel-undo").c_str(), F_OK), -1) << "journal left";
        Release(stream);
    }

    // A backup name that is a link or a folder is refused and left alone;
    // nothing is written.
    ASSERT_TRUE(WriteAll(dir.Path("t.bin"), original));
    ASSERT_TRUE(WriteAll(dir.Path("elsewhere"), olderBackup));
    for (int kind = 0; kind < 2; ++kind) {
        unlink(dir.Path("t.bin.bak").c_str());
        rmdir(dir.Path("t.bin.bak").c_str());
        ASSERT_EQ(kind == 0 ? symlink(dir.Path("elsewhere").c_str(), dir.Path("t.bin.bak").c_str())
                            : mkdir(dir.Path("t.bin.bak").c_str(), 0700),
                  0);
        struct : PatchRunHooks {
            bool WantsBackup() override { return true; }
            void Progress(uint32_t) override {}
            void Finished(const PatchRunReport&) override {}
        } hooks;
        ByteStream* stream = PatchStreamOf(patch);
        EXPECT_EQ(ApplyPatch(stream, dir.PathBytes("t.bin"), &hooks, nullptr), PatchResultBackupFailed) << kind;
        Release(stream);
        EXPECT_EQ(Compare(ReadAll(dir.Path("t.bin")), original), "identical") << kind;
        EXPECT_EQ(ReadAll(dir.Path("elsewhere")), olderBackup) << kind;
    }
}
#endif

}  // namespace
