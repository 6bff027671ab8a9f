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
#include "patch/target_check.h"
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
        // Overlapping records, a range apart: the journal holds each byte
        // once, as it was before the first record wrote it.
        {"overlapping",
         {'P', 'A', 'T', 'C', 'H', 0, 0, 0x10, 0, 4, 'a', 'b', 'c', 'd', 0, 0, 0x12, 0, 4, 'w', 'x', 'y', 'z',
          0, 1, 0, 0, 4, 'q', 'q', 'q', 'q', 0, 0x90, 0, 0, 1, 'f'}},
        // Piled on the same bytes.
        {"piled up",
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
                bool sticky, thenRead, readsWork;
            } modes[] = {{"once", false, false, false},
                         {"and the read putting it back", false, true, false},
                         {"and all after it", true, false, false},
                         {"and every write and resize after it", true, false, true}};
            for (const auto& mode : modes) {
                const bool sticky = mode.sticky;
                SCOPED_TRACE(std::string(c.name) + ", operation " + std::to_string(n) + " " + mode.name);
                faulty::Schedule& faults = faulty::Faults();
                faults = faulty::Schedule();
                faults.countdown = n;
                faults.sticky = sticky;
                faults.thenRead = mode.thenRead;
                faults.readsWork = mode.readsWork;
                ByteStream* target = FaultyTarget(before);
                PatchRunReport report;
                const PatchResult result = ApplyPatchToStream(stream, target, nullptr, &report);
                if (!sticky) {
                    // One failure in the run: taken back whole.
                    EXPECT_EQ(result, PatchResultWriteFailed);
                    EXPECT_EQ(Compare(Contents(target), before), "identical");
                } else if (mode.readsWork) {
                    // Nothing can be written any more, but the target can be
                    // read: found as it was, it is 寫入失敗!; "may be
                    // damaged" only when it is neither as it was nor patched.
                    if (result == PatchResultWriteFailed) {
                        EXPECT_EQ(Compare(Contents(target), before), "identical");
                    } else {
                        EXPECT_EQ(result, PatchResultRestoreFailed);
                        EXPECT_NE(Compare(Contents(target), before), "identical");
                        EXPECT_NE(Compare(Contents(target), Expected(c.patch, before)), "identical");
                    }
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

// A run on a file against the reference, on both its routes: dense patches
// (records all over the file and across its 1 MiB edges, runs, a growth)
// and cuts take a new file put in the target's place, sparse ones stay in
// place with their journal. The reference's bytes either way, and nothing
// left beside the target.
TEST(PatchRunFiles, BothRoutesGiveTheReferenceBytes) {
    TempDir dir;
    ASSERT_TRUE(dir.Ok());
    std::mt19937 rng(20261209);
    for (int i = 0; i < 18; ++i) {
        const bool dense = i % 2 == 0, cut = i % 3 == 1;
        SCOPED_TRACE("case " + std::to_string(i) + (dense ? ", dense" : ", sparse") + (cut ? ", cut" : ""));
        const uint32_t size = (3u << 20) + rng() % 5000;
        Block patch = {'P', 'A', 'T', 'C', 'H'};
        for (int k = 0; k < (dense ? 4000 : 20); ++k) {
            uint32_t offset = rng() % size;
            if (k % 5 == 0) offset = ((1 + rng() % 3) << 20) - rng() % 300;
            if (i % 3 == 2 && k == 0) offset = size + 100;  // past the end: the file grows
            if (offset == 0x454F46) ++offset;
            const uint32_t length = 1 + rng() % 200;
            patch.insert(patch.end(), {uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset)});
            if (k % 4 == 3) {
                patch.insert(patch.end(), {0, 0, uint8_t(length >> 8), uint8_t(length), uint8_t(rng())});
            } else {
                patch.insert(patch.end(), {uint8_t(length >> 8), uint8_t(length)});
                for (uint32_t b = 0; b < length; ++b) patch.push_back(uint8_t(rng()));
            }
        }
        if (cut) {
            const uint32_t to = size / 2 + rng() % (size / 2);
            patch.insert(patch.end(), {'E', 'O', 'F', uint8_t(to >> 16), uint8_t(to >> 8), uint8_t(to)});
        }
        const Bytes before = Pattern(size, unsigned(i + 1));
        ASSERT_TRUE(WriteAll(dir.Path("t.bin"), before));
        ByteStream* stream = PatchStreamOf(patch);
        PatchRunReport report;
        EXPECT_EQ(ApplyPatch(stream, dir.PathBytes("t.bin"), nullptr, &report), PatchResultDone);
        Release(stream);
        EXPECT_EQ(report.wroteNewFile, dense || cut);
        EXPECT_EQ(Compare(ReadAll(dir.Path("t.bin")), Expected(patch, before)), "identical");
        int entries = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path(""))) entries += !entry.path().empty();
        EXPECT_EQ(entries, 1) << "something left beside the target";
    }
}

#ifndef _WIN32
// Entries of dir whose names begin with prefix.
int Leftovers(const TempDir& dir, const std::string& prefix) {
    int found = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path("")))
        found += entry.path().filename().string().compare(0, prefix.size(), prefix) == 0;
    return found;
}

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
    // The patch grows the target in place, so its old size has to come back
    // too; the cutting one goes to a new file put in the target's place.
    const Block cutting = {'P', 'A', 'T', 'C', 'H', 0, 0, 5, 0, 2, 'h', 'i', 'E', 'O', 'F', 0, 0x9C, 0x40};
    ASSERT_GT(Expected(patch, original).size(), original.size());
    ASSERT_EQ(Expected(cutting, original).size(), 40000u);
    struct Row {
        const char* name;
        FileOperation operation;
        int nth;
        bool backup;
        PatchResult result;
        bool cut = false;
    } rows[] = {
        // In place: the target's open, the journal's creation (both opens),
        // its one write and the trailer's CRC-32, its flush; then the
        // target's writes, its flush and its close.
        {"a write of the journal", FileOperation::Write, 1, false, PatchResultWriteFailed},
        {"the journal's flush", FileOperation::Flush, 1, false, PatchResultWriteFailed},
        {"the first write of the target", FileOperation::Write, 3, false, PatchResultWriteFailed},
        {"the second write of the target", FileOperation::Write, 4, false, PatchResultWriteFailed},
        {"the growth of the target", FileOperation::SetEnd, 1, false, PatchResultWriteFailed},
        {"the target's flush", FileOperation::Flush, 2, false, PatchResultWriteFailed},
        // The target opened again and put back.
        {"the target's close", FileOperation::Close, 1, false, PatchResultWriteFailed},
        // No journal beside the target: a new file instead.
        {"the journal's creation", FileOperation::Open, 2, false, PatchResultDone},
        // The cut: a new file (its creation, its flush, its close, its
        // rename over the target).
        {"the new file's creation", FileOperation::Open, 2, false, PatchResultWriteFailed, true},
        {"the new file's flush", FileOperation::Flush, 1, false, PatchResultWriteFailed, true},
        {"the new file's close", FileOperation::Close, 1, false, PatchResultWriteFailed, true},
        {"the new file's rename", FileOperation::Rename, 1, false, PatchResultWriteFailed, true},
        {"the backup's copy", FileOperation::Copy, 1, true, PatchResultBackupFailed},
        {"the backup's flush", FileOperation::Flush, 1, true, PatchResultBackupFailed},
        {"the backup's rename", FileOperation::Rename, 1, true, PatchResultBackupFailed},
        {"the target's flush after a backup", FileOperation::Flush, 3, true, PatchResultWriteFailed},
        {"the target's open", FileOperation::Open, 1, true, PatchResultWriteFailed},
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
        const Block& used = row.cut ? cutting : patch;
        ByteStream* stream = PatchStreamOf(used);
        SetFileFaultHook(FailNth);
        PatchRunReport report;
        const PatchResult result = ApplyPatch(stream, dir.PathBytes("t.bin"), &hooks, &report);
        SetFileFaultHook(nullptr);
        Release(stream);
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(report.wroteNewFile, row.cut || row.result == PatchResultDone);
        const Bytes want = row.result == PatchResultDone ? Expected(used, original) : original;
        EXPECT_EQ(Compare(ReadAll(dir.Path("t.bin")), want), "identical");
        // The older backup is replaced only by a whole new one, made once
        // the target is open.
        const bool backupReplaced =
            row.backup && row.result != PatchResultBackupFailed && row.operation != FileOperation::Open;
        EXPECT_EQ(ReadAll(dir.Path("t.bin.bak")), backupReplaced ? original : olderBackup);
        EXPECT_EQ(Leftovers(dir, "t.bin.bak."), 0) << "temporary copy left";
        EXPECT_EQ(Leftovers(dir, "t.bin.tessel-"), 0) << "journal or new file left";
    }

    // Putting back writes exactly the bytes the run changed: the journal of
    // a run stopped midway (every write of the target from its second on
    // fails, so it cannot be put back either, and is kept) holds the bytes
    // under the records that differ from them, not the unchanged byte
    // between them nor the record that writes what is there. The next run
    // puts the target back first, says so, patches it, and leaves nothing.
    {
        // Two records in one range, an unchanged byte between them; a byte
        // written with the value it has; one a range apart.
        Bytes start = original;
        start[0x90] = 'y';
        const Block apart = {'P', 'A', 'T', 'C', 'H', 0, 0, 5, 0, 2, 'h', 'i', 0, 0, 8, 0, 1, 'k', 0, 0, 0x90, 0,
                             1, 'y', 0x00, 0x90, 0, 0, 1, 'z'};
        ASSERT_TRUE(WriteAll(dir.Path("t.bin"), start));
        g_failing = FileOperation::Write;
        g_failAt = 4;  // the journal's two writes, the target's first range, then its second
        SetFileFaultHook([](FileOperation operation) {
            return operation == g_failing && (g_failAt == 0 || --g_failAt == 0);
        });
        ByteStream* stream = PatchStreamOf(apart);
        PatchRunReport report;
        EXPECT_EQ(ApplyPatch(stream, dir.PathBytes("t.bin"), nullptr, &report), PatchResultRestoreFailed);
        SetFileFaultHook(nullptr);
        EXPECT_FALSE(report.wroteNewFile);
        const Bytes journal = ReadAll(dir.Path("t.bin.tessel-undo"));
        const auto word = [&](size_t at) {
            uint32_t w = 0;
            memcpy(&w, journal.data() + at, 4);
            return w;
        };
        struct stat info;
        ASSERT_EQ(stat(dir.Path("t.bin.tessel-undo").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << "the old bytes are the owner's only";
        ASSERT_EQ(journal.size(), 3 * 8 + 2 + 1 + 1 + 32u);
        EXPECT_EQ(word(0), 5u);
        EXPECT_EQ(word(4), 2u);
        EXPECT_EQ(journal.substr(8, 2), start.substr(5, 2));
        EXPECT_EQ(word(10), 8u);
        EXPECT_EQ(word(14), 1u);
        EXPECT_EQ(journal.substr(18, 1), start.substr(8, 1));
        EXPECT_EQ(word(19), 0x9000u);
        EXPECT_EQ(word(23), 1u);
        EXPECT_EQ(journal.substr(27, 1), start.substr(0x9000, 1));
        ByteStream* again = PatchStreamOf(apart);
        EXPECT_EQ(ApplyPatch(again, dir.PathBytes("t.bin"), nullptr, &report), PatchResultDone);
        Release(again);
        Release(stream);
        EXPECT_TRUE(report.interruptedRunRestored);
        EXPECT_EQ(Compare(ReadAll(dir.Path("t.bin")), Expected(apart, start)), "identical");
        EXPECT_EQ(Leftovers(dir, "t.bin.tessel-"), 0) << "journal left";
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

// Another user at work while the run goes on, played by the fault hook
// (which fails nothing): at the first step of the backup's copy it plants a
// link under the name the copy used to be made under, pointing at a file of
// its victim, or it swaps another file in under the target's name. Nothing
// is written through the link, and the file written is the one checked.
const TempDir* g_attackedDir;
bool g_swap;
bool Attack(FileOperation operation) {
    if (operation != FileOperation::Copy) return false;
    const TempDir& dir = *g_attackedDir;
    if (g_swap) rename(dir.Path("other.bin").c_str(), dir.Path("t.bin").c_str());
    else symlink(dir.Path("victim").c_str(), dir.Path("t.bin.bak.partial").c_str());
    return false;
}

TEST(PatchRunFiles, PlantedLinksAndSwappedFilesAreNeverWritten) {
    TempDir dir;
    ASSERT_TRUE(dir.Ok());
    const Bytes original = Pattern(5000, 3), other = Pattern(5000, 8), victim = "the victim's own";
    const Block patch = {'P', 'A', 'T', 'C', 'H', 0, 0, 5, 0, 2, 'h', 'i'};
    const Bytes patched = Expected(patch, original);
    // The swap comes after the check found the original, before the writes.
    const auto crc = [](const Bytes& b) { return Crc32Update(0, reinterpret_cast<const uint8_t*>(b.data()), uint32_t(b.size())); };
    const TargetFacts facts = {5000, crc(original), uint32_t(patched.size()), crc(patched)};
    struct : PatchRunHooks {
        bool WantsBackup() override { return true; }
        void Progress(uint32_t) override {}
        void Finished(const PatchRunReport&) override {}
    } hooks;
    for (bool swap : {false, true}) {
        SCOPED_TRACE(swap ? "swapped" : "planted link");
        ASSERT_TRUE(WriteAll(dir.Path("t.bin"), original));
        ASSERT_EQ(link(dir.Path("t.bin").c_str(), dir.Path("checked.bin").c_str()), 0);
        ASSERT_TRUE(WriteAll(dir.Path("other.bin"), other));
        ASSERT_TRUE(WriteAll(dir.Path("victim"), victim));
        g_attackedDir = &dir;
        g_swap = swap;
        ByteStream* stream = PatchStreamOf(patch);
        SetFileFaultHook(Attack);
        const PatchResult result = ApplyPatch(stream, dir.PathBytes("t.bin"), &hooks, nullptr, swap ? &facts : nullptr);
        SetFileFaultHook(nullptr);
        Release(stream);
        EXPECT_EQ(result, PatchResultDone);
        EXPECT_EQ(ReadAll(dir.Path("victim")), victim);
        EXPECT_EQ(ReadAll(dir.Path("t.bin.bak")), original);
        // The file checked is the one written: the original, under the
        // name it had when the run began.
        EXPECT_EQ(Compare(ReadAll(dir.Path("checked.bin")), patched), "identical");
        if (swap) EXPECT_EQ(Compare(ReadAll(dir.Path("t.bin")), other), "identical");
        unlink(dir.Path("checked.bin").c_str());
        unlink(dir.Path("t.bin.bak").c_str());
        unlink(dir.Path("t.bin.bak.partial").c_str());
    }
}
#endif

}  // namespace
