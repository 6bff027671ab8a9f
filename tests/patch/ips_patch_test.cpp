// The IPS patch run on real files: the scanner, the record loop, progress,
// messages, backups, end markers, and what happens when files refuse.
#include <gtest/gtest.h>

#include <stdio.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "patch/byte_stream.h"
#include "platform/conversions.h"
#include "platform/file_handle.h"
#include "patch/ips_patch.h"
#include "patch/patch_run.h"
#include "patch/target_check.h"
#include "ips_reference.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

// --- building patches --------------------------------------------------------

struct PatchBuilder {
    Bytes b{'P', 'A', 'T', 'C', 'H'};
    PatchBuilder& Offset(uint32_t offset) {
        b.push_back(uint8_t(offset >> 16));
        b.push_back(uint8_t(offset >> 8));
        b.push_back(uint8_t(offset));
        return *this;
    }
    PatchBuilder& U16(uint32_t v) {
        b.push_back(uint8_t(v >> 8));
        b.push_back(uint8_t(v));
        return *this;
    }
    PatchBuilder& Data(uint32_t offset, const Bytes& data) {
        Offset(offset).U16(uint32_t(data.size()));
        b.insert(b.end(), data.begin(), data.end());
        return *this;
    }
    PatchBuilder& Data(uint32_t offset, const std::string& data) {
        return Data(offset, Bytes(data.begin(), data.end()));
    }
    PatchBuilder& Run(uint32_t offset, uint32_t count, uint8_t value) {
        Offset(offset).U16(0).U16(count);
        b.push_back(value);
        return *this;
    }
    PatchBuilder& Raw(const std::string& s) {
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    PatchBuilder& Byte(uint8_t v) {
        b.push_back(v);
        return *this;
    }
    PatchBuilder& Eof() { return Raw("EOF"); }
    PatchBuilder& Truncate(uint32_t size) { return Eof().Offset(size); }
};

Bytes Filled(size_t n, uint8_t value) { return Bytes(n, value); }

Bytes Prefix(const Bytes& bytes, size_t n) { return Bytes(bytes.begin(), bytes.begin() + n); }

Bytes Pattern(size_t n, uint32_t seed) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return out;
}

// The patch of the demo payload's shape: three data records of 2, 57 and 72
// bytes at 0x00018E, 0x00F9DB and 0x1BFFB8; every data byte non-zero.
Bytes CarriedShapePatch() {
    Bytes a(2), b(57), c(72);
    for (size_t i = 0; i < a.size(); ++i) a[i] = uint8_t(0xA0 + i);
    for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(1 + i);
    for (size_t i = 0; i < c.size(); ++i) c[i] = uint8_t(0x80 + i);
    return PatchBuilder().Data(0x00018E, a).Data(0x00F9DB, b).Data(0x1BFFB8, c).b;
}

// --- files --------------------------------------------------------------------

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

ByteString PathText(const fs::path& path) {
    std::string s = path.string();
    return ByteString(s.data(), uint32_t(s.size()));
}

// Index of the first differing byte and the number of differing bytes over
// the common length, for readable failures on big files.
std::string Difference(const Bytes& got, const Bytes& want) {
    size_t n = std::min(got.size(), want.size()), first = n, count = 0;
    for (size_t i = 0; i < n; ++i)
        if (got[i] != want[i]) {
            if (first == n) first = i;
            ++count;
        }
    if (count == 0 && got.size() == want.size()) return "identical";
    return "sizes " + std::to_string(got.size()) + "/" + std::to_string(want.size()) + ", " +
           std::to_string(count) + " bytes differ, first at " + std::to_string(first);
}

// --- running --------------------------------------------------------------------

const ByteString kDone("DONE:");
const ByteString kMs(" ms");

// Stands where the program has its window: answers the backup question,
// keeps the progress positions, and puts each finished report into a word
// (the elapsed time for a success) so the cases can compare outcomes.
struct Recorder : PatchRunHooks {
    bool backup = false;
    std::vector<uint32_t> progress;
    std::vector<std::string> notes;
    uint32_t pulses = 0;        // StillWorking calls
    uint32_t pulsesAtBar = 0;   // of them, the ones after the bar last moved

    bool WantsBackup() override { return backup; }
    void Progress(uint32_t percent) override {
        progress.push_back(percent);
        pulsesAtBar = 0;
    }
    void StillWorking() override {
        ++pulses;
        ++pulsesAtBar;
    }
    void Finished(const PatchRunReport& report) override {
        switch (report.result) {
        case PatchResultDone:
            notes.push_back("DONE:" + std::to_string(report.elapsedMs) + " ms");
            break;
        case PatchResultMalformed: notes.push_back("ERROR"); break;
        case PatchResultWriteFailed: notes.push_back("WRITE-FAILED"); break;
        case PatchResultRestoreFailed: notes.push_back("RESTORE-FAILED"); break;
        case PatchResultBackupFailed: notes.push_back("BACKUP-FAILED"); break;
        case PatchResultAlreadyPatched: notes.push_back("ALREADY-PATCHED"); break;
        case PatchResultDeclined: notes.push_back("DECLINED"); break;
        case PatchResultWrongSource: notes.push_back("WRONG-SOURCE"); break;
        case PatchResultNoRoom: notes.push_back("NO-ROOM"); break;
        case PatchResultHeaderRefused: notes.push_back("HEADER-REFUSED"); break;
        case PatchResultWrongResult: notes.push_back("WRONG-RESULT"); break;
        }
    }
    Recorder* Hooks(bool wantBackup) {
        backup = wantBackup;
        return this;
    }
    // The one report, asserting there was exactly one.
    std::string Note() const {
        EXPECT_EQ(notes.size(), 1u);
        return notes.empty() ? std::string() : notes.back();
    }
};

bool IsElapsedMessage(const std::string& note) {
    if (note.size() < kDone.Length() + kMs.Length() + 1) return false;
    if (note.compare(0, kDone.Length(), kDone.CStr()) != 0) return false;
    if (note.compare(note.size() - kMs.Length(), kMs.Length(), kMs.CStr()) != 0) return false;
    std::string digits = note.substr(kDone.Length(), note.size() - kDone.Length() - kMs.Length());
    return !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A memory stream holding the block, as the container loader leaves it
// (positioned at its end).
struct PatchStream {
    ByteStream* stream;
    explicit PatchStream(const Bytes& block) : stream(CreateMemoryStream()) {
        if (!block.empty()) StreamWrite(stream, block.data(), uint32_t(block.size()));
    }
    ~PatchStream() { Release(stream); }
    PatchStream(const PatchStream&) = delete;
    PatchStream& operator=(const PatchStream&) = delete;
};

class IpsRun : public ::testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        dir = fs::temp_directory_path() /
              ("tessel-ips-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
               std::to_string(
#ifdef _WIN32
                   GetCurrentProcessId()
#else
                   getpid()
#endif
                       ) +
               "-" + std::to_string(counter++));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    fs::path File(const std::string& name) const { return dir / name; }

    PatchResult Run(const Bytes& block, const fs::path& target, Recorder* recorder, bool backup = false,
                    PatchRunReport* report = nullptr) {
        PatchStream patch(block);
        return ApplyPatch(patch.stream, PathText(target), recorder->Hooks(backup), report);
    }

    fs::path dir;
};

// --- the scanner ------------------------------------------------------------------

struct ScanCase {
    const char* name;
    Bytes block;
    bool valid;
    PatchProblem problem;
    uint32_t problemRecord, problemRecordOffset, problemFieldOffset;
    PatchEndMarker end;
    uint32_t truncateSize;
    uint32_t records, dataRecords, runRecords;
    uint64_t dataBytes, runBytes;
    uint32_t lowest, highestEnd;
    uint32_t markerLike, recordsAfterMarkerLike;
};

std::vector<ScanCase> ScanCases() {
    auto P = [] { return PatchBuilder(); };
    auto S = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    return {
        {"empty", {}, false, PatchProblemNoHeader, 0, 0, 0, PatchEndNone, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {"short header", S("PATC"), false, PatchProblemNoHeader, 0, 0, 0, PatchEndNone, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {"lower case", S("patch"), false, PatchProblemNoHeader, 0, 0, 0, PatchEndNone, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {"header only", P().b, true, PatchProblemNone, 0, 0, 0, PatchEndNone, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {"plain marker", P().Eof().b, true, PatchProblemNone, 0, 0, 0, PatchEndPlain, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {"truncation", P().Truncate(0x1000).b, true, PatchProblemNone, 0, 0, 0, PatchEndTruncate, 0x1000, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {"carried shape", CarriedShapePatch(), true, PatchProblemNone, 0, 0, 0, PatchEndNone, 0, 3, 3, 0, 131, 0,
         0x18E, 0x1C0000, 0, 0},
        {"one trailing byte", P().Data(2, "ab").Byte(1).b, false, PatchProblemCutInOffset, 2, 12, 12,
         PatchEndNone, 0, 1, 1, 0, 2, 0, 2, 4, 0, 0},
        {"cut in size", P().Offset(7).Byte(0).b, false, PatchProblemCutInSize, 1, 5, 8, PatchEndNone, 0, 0, 0, 0,
         0, 0, 0, 0, 0, 0},
        {"cut in data", P().Offset(7).U16(4).Raw("abc").b, false, PatchProblemCutInData, 1, 5, 10, PatchEndNone, 0,
         0, 0, 0, 0, 0, 0, 0, 0, 0},
        {"cut in run length", P().Offset(7).U16(0).Byte(1).b, false, PatchProblemCutInRunCount, 1, 5, 10,
         PatchEndNone, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {"cut in run value", P().Offset(7).U16(0).U16(9).b, false, PatchProblemCutInRunValue, 1, 5, 12,
         PatchEndNone, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {"EOF + 1", P().Eof().Byte(0).b, false, PatchProblemCutInSize, 1, 5, 8, PatchEndNone, 0, 0, 0, 0, 0, 0,
         0, 0, 0, 0},
        {"EOF + 2, size 1", P().Eof().U16(1).b, false, PatchProblemCutInData, 1, 5, 10, PatchEndNone, 0, 0, 0, 0, 0,
         0, 0, 0, 0, 0},
        {"EOF + 2, size 0", P().Eof().U16(0).b, false, PatchProblemCutInRunCount, 1, 5, 10, PatchEndNone, 0, 0, 0, 0,
         0, 0, 0, 0, 0, 0},
        {"EOF + 4, a record", P().Eof().U16(2).Raw("xy").b, true, PatchProblemNone, 0, 0, 0, PatchEndNone, 0, 1, 1,
         0, 2, 0, 0x454F46, 0x454F48, 1, 0},
        {"EOF + 4, run cut", P().Eof().U16(0).U16(2).b, false, PatchProblemCutInRunValue, 1, 5, 12, PatchEndNone,
         0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {"record at EOF then more", P().Eof().U16(1).Raw("A").Data(0, "Q").Run(9, 2, 7).b, true, PatchProblemNone,
         0, 0, 0, PatchEndNone, 0, 3, 2, 1, 2, 2, 0, 0x454F47, 1, 2},
        {"marker after records", P().Data(0x20, "abc").Run(0x10, 4, 0xFF).Run(0x5, 0, 1).Truncate(0x30).b, true,
         PatchProblemNone, 0, 0, 0, PatchEndTruncate, 0x30, 3, 1, 2, 3, 4, 0x10, 0x23, 0, 0},
        {"empty run only", P().Run(0x400, 0, 1).b, true, PatchProblemNone, 0, 0, 0, PatchEndNone, 0, 1, 0, 1, 0, 0,
         0, 0, 0, 0},
        {"highest end past 16 MiB", P().Data(0xFFFFFF, "zz").Data(3, "a").b, true, PatchProblemNone, 0, 0, 0,
         PatchEndNone, 0, 2, 2, 0, 3, 0, 3, 0x1000001, 0, 0},
        {"marker then bytes after cut", P().Eof().U16(1).Raw("A").Raw("B").b, false, PatchProblemCutInOffset, 2, 11,
         11, PatchEndNone, 0, 1, 1, 0, 1, 0, 0x454F46, 0x454F47, 1, 0},
    };
}

void ExpectScan(const ScanCase& c, const PatchScan& s) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(s.valid, c.valid);
    EXPECT_EQ(s.problem, c.problem);
    EXPECT_EQ(s.problemRecord, c.problemRecord);
    EXPECT_EQ(s.problemRecordOffset, c.problemRecordOffset);
    EXPECT_EQ(s.problemFieldOffset, c.problemFieldOffset);
    EXPECT_EQ(s.endMarker, c.end);
    EXPECT_EQ(s.truncateSize, c.truncateSize);
    EXPECT_EQ(s.recordCount, c.records);
    EXPECT_EQ(s.dataRecords, c.dataRecords);
    EXPECT_EQ(s.runRecords, c.runRecords);
    EXPECT_EQ(s.dataBytes, c.dataBytes);
    EXPECT_EQ(s.runBytes, c.runBytes);
    EXPECT_EQ(s.lowestOffset, c.lowest);
    EXPECT_EQ(s.highestEnd, c.highestEnd);
    EXPECT_EQ(s.markerLikeRecord, c.markerLike);
    EXPECT_EQ(s.recordsAfterMarkerLike, c.recordsAfterMarkerLike);
    if (c.valid && c.end != PatchEndNone) {
        EXPECT_EQ(s.endMarkerOffset, uint32_t(c.block.size() - (c.end == PatchEndPlain ? 3 : 6)));
        EXPECT_EQ(s.recordsEnd, s.endMarkerOffset);
    } else if (c.valid) {
        EXPECT_EQ(s.recordsEnd, uint32_t(c.block.size()));
    }
    // The independent reading agrees on validity.
    Bytes target;
    EXPECT_EQ(ipsref::Apply(c.block, &target), c.valid);
}

TEST(PatchScan, Table) {
    for (const ScanCase& c : ScanCases()) {
        PatchScan scan;
        EXPECT_EQ(ScanPatch(c.block.data(), uint32_t(c.block.size()), &scan), c.valid) << c.name;
        ExpectScan(c, scan);
    }
}

TEST(PatchScan, StreamScanAgreesAndNeverGrowsTheStream) {
    for (const ScanCase& c : ScanCases()) {
        PatchStream patch(c.block);
        PatchScan scan;
        EXPECT_EQ(ScanPatchStream(patch.stream, &scan), c.valid) << c.name;
        ExpectScan(c, scan);
        EXPECT_EQ(StreamGetSize(patch.stream), uint32_t(c.block.size())) << c.name;
    }
}

TEST(PatchScan, ResultingTargetSize) {
    PatchScan scan;
    Bytes grow = CarriedShapePatch();
    ASSERT_TRUE(ScanPatch(grow.data(), uint32_t(grow.size()), &scan));
    EXPECT_EQ(ResultingTargetSize(scan, 0x1000), 0x1C0000u);
    EXPECT_EQ(ResultingTargetSize(scan, 0x300000), 0x300000u);
    Bytes cut = PatchBuilder().Data(0x100, "x").Truncate(0x10).b;
    ASSERT_TRUE(ScanPatch(cut.data(), uint32_t(cut.size()), &scan));
    EXPECT_EQ(ResultingTargetSize(scan, 0x300000), 0x10u);
    EXPECT_EQ(ResultingTargetSize(scan, 0), 0x10u);
}

// --- runs that succeed ------------------------------------------------------------

TEST_F(IpsRun, CarriedShapeChangesExactlyItsBytes) {
    const Bytes patch = CarriedShapePatch();
    // A long target: same size afterwards, exactly 131 bytes differ.
    fs::path longTarget = File("long.bin");
    const Bytes before = Filled(0x200000, 0);
    WriteFile(longTarget, before);
    Recorder r;
    EXPECT_EQ(Run(patch, longTarget, &r), PatchResultDone);
    EXPECT_TRUE(IsElapsedMessage(r.Note())) << r.Note();
    Bytes after = ReadFile(longTarget);
    ASSERT_EQ(after.size(), before.size());
    size_t changed = 0;
    for (size_t i = 0; i < after.size(); ++i) changed += after[i] != before[i];
    EXPECT_EQ(changed, 131u);
    EXPECT_EQ(after[0x18E], 0xA0);
    EXPECT_EQ(after[0x18F], 0xA1);
    EXPECT_EQ(after[0xF9DB], 1);
    EXPECT_EQ(after[0xF9DB + 56], 57);
    EXPECT_EQ(after[0x1BFFB8], 0x80);
    EXPECT_EQ(after[0x1BFFFF], 0x80 + 71);

    // A short target grows to 0x1C0000; the gap reads as zeros.
    fs::path shortTarget = File("short.bin");
    const Bytes shortBefore = Pattern(0x1000, 3);
    WriteFile(shortTarget, shortBefore);
    Recorder r2;
    EXPECT_EQ(Run(patch, shortTarget, &r2), PatchResultDone);
    Bytes expected = shortBefore;
    ASSERT_TRUE(ipsref::Apply(patch, &expected));
    Bytes grown = ReadFile(shortTarget);
    EXPECT_EQ(grown.size(), 0x1C0000u);
    EXPECT_EQ(Difference(grown, expected), "identical");
}

TEST_F(IpsRun, HeaderOnlyShowsZeroHundredAndTheTime) {
    fs::path target = File("t.bin");
    const Bytes before = Pattern(777, 1);
    WriteFile(target, before);
    Recorder r;
    PatchRunReport report;
    EXPECT_EQ(Run(PatchBuilder().b, target, &r, false, &report), PatchResultDone);
    EXPECT_EQ(r.progress, (std::vector<uint32_t>{0, 100}));
    EXPECT_TRUE(IsElapsedMessage(r.Note())) << r.Note();
    EXPECT_EQ(r.Note(), "DONE:" + std::to_string(report.elapsedMs) + " ms");
    EXPECT_EQ(ReadFile(target), before);
}

// Each case: a target, a patch, and the bytes the target must hold after.
struct RunCase {
    const char* name;
    Bytes target;
    Bytes patch;
    Bytes expected;
};

std::vector<RunCase> RunCases() {
    Bytes ten = Filled(10, 0x11);
    auto with = [](Bytes b, size_t at, const Bytes& bytes) {
        if (b.size() < at + bytes.size()) b.resize(at + bytes.size(), 0);
        std::copy(bytes.begin(), bytes.end(), b.begin() + at);
        return b;
    };
    return {
        {"run length 0 changes nothing", ten, PatchBuilder().Run(2, 0, 0xFF).b, ten},
        {"run length 0 past the end does not grow", ten, PatchBuilder().Run(50, 0, 0xFF).b, ten},
        {"run length 3 of 0xFF", ten, PatchBuilder().Run(2, 3, 0xFF).b, with(ten, 2, {0xFF, 0xFF, 0xFF})},
        {"run reaching past the end", ten, PatchBuilder().Run(8, 4, 0x5A).b, with(ten, 8, Filled(4, 0x5A))},
        {"longest run", ten, PatchBuilder().Run(1, 65535, 0xC3).b, with(ten, 1, Filled(65535, 0xC3))},
        {"overlap: later wins", ten, PatchBuilder().Data(2, "abcd").Data(3, "XY").b,
         with(ten, 2, {'a', 'X', 'Y', 'd'})},
        {"overlap: run then data then run", ten,
         PatchBuilder().Run(0, 6, 1).Data(1, "zz").Run(2, 1, 9).b, with(ten, 0, {1, 'z', 9, 1, 1, 1})},
        {"records in any order", ten, PatchBuilder().Data(9, "9").Data(0, "0").Data(5, "5").b,
         with(with(with(ten, 9, {'9'}), 0, {'0'}), 5, {'5'})},
        {"growth past the end, zero gap", ten, PatchBuilder().Data(100, "tail").b,
         with(ten, 100, {'t', 'a', 'i', 'l'})},
        {"empty target grows", {}, PatchBuilder().Data(3, "x").b, Bytes{0, 0, 0, 'x'}},
        {"largest data record", ten, PatchBuilder().Data(0, Pattern(65535, 9)).b, Pattern(65535, 9)},
        {"plain EOF marker", ten, PatchBuilder().Data(0, "ab").Eof().b, with(ten, 0, {'a', 'b'})},
        {"truncation smaller", Pattern(32, 2), PatchBuilder().Data(4, "XY").Truncate(16).b,
         with(Prefix(Pattern(32, 2), 16), 4, {'X', 'Y'})},
        {"truncation larger, zero filled", Pattern(32, 2), PatchBuilder().Data(4, "XY").Truncate(48).b,
         with(with(Pattern(32, 2), 4, {'X', 'Y'}), 32, Filled(16, 0))},
        {"truncation after records past it", Pattern(32, 2), PatchBuilder().Data(40, "Z").Truncate(16).b,
         Prefix(Pattern(32, 2), 16)},
        {"truncation to 0", Pattern(32, 2), PatchBuilder().Data(0, "Z").Truncate(0).b, {}},
    };
}

TEST_F(IpsRun, RecordsTable) {
    for (const RunCase& c : RunCases()) {
        SCOPED_TRACE(c.name);
        fs::path target = File("t.bin");
        WriteFile(target, c.target);
        Recorder r;
        EXPECT_EQ(Run(c.patch, target, &r), PatchResultDone);
        EXPECT_TRUE(IsElapsedMessage(r.Note())) << r.Note();
        EXPECT_EQ(r.progress, (std::vector<uint32_t>{0, 100}));
        Bytes got = ReadFile(target);
        EXPECT_EQ(Difference(got, c.expected), "identical");
        // The reference reading gives the same bytes.
        Bytes ref = c.target;
        EXPECT_TRUE(ipsref::Apply(c.patch, &ref));
        EXPECT_EQ(Difference(ref, c.expected), "identical");
    }
}

TEST_F(IpsRun, EndMarkerFollowedByZeroToFourBytes) {
    const Bytes target0 = Filled(16, 0x11);
    auto ab = [&] { return PatchBuilder().Data(0, "AB"); };
    Bytes abTarget = target0;
    abTarget[0] = 'A';
    abTarget[1] = 'B';
    Bytes truncated(abTarget.begin(), abTarget.begin() + 8);
    Bytes markerRecord = abTarget;
    markerRecord.resize(0x454F48, 0);
    markerRecord[0x454F46] = 'x';
    markerRecord[0x454F47] = 'y';
    struct Case {
        const char* name;
        Bytes patch;
        PatchResult result;
        Bytes expected;  // for a refused patch: the target unchanged
    };
    const Case cases[] = {
        {"EOF + 0", ab().Eof().b, PatchResultDone, abTarget},
        {"EOF + 1", ab().Eof().Byte(0).b, PatchResultMalformed, target0},
        {"EOF + 2", ab().Eof().U16(1).b, PatchResultMalformed, target0},
        {"EOF + 3", ab().Truncate(8).b, PatchResultDone, truncated},
        {"EOF + 4 (record at 0x454F46)", ab().Eof().U16(2).Raw("xy").b, PatchResultDone, markerRecord},
        {"EOF + 4 (run cut)", ab().Eof().U16(0).U16(2).b, PatchResultMalformed, target0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path target = File("t.bin");
        WriteFile(target, target0);
        Recorder r;
        EXPECT_EQ(Run(c.patch, target, &r), c.result);
        if (c.result == PatchResultDone)
            EXPECT_TRUE(IsElapsedMessage(r.Note())) << r.Note();
        else
            EXPECT_EQ(r.Note(), "ERROR");
        EXPECT_EQ(Difference(ReadFile(target), c.expected), "identical");
    }
}

TEST_F(IpsRun, RecordAtMarkerOffsetFollowedByMoreRecords) {
    fs::path target = File("t.bin");
    const Bytes before = Pattern(64, 4);
    WriteFile(target, before);
    const Bytes patch = PatchBuilder().Eof().U16(1).Raw("A").Data(0, "Q").Run(9, 2, 7).Eof().b;
    Recorder r;
    PatchRunReport report;
    EXPECT_EQ(Run(patch, target, &r, false, &report), PatchResultDone);
    EXPECT_EQ(report.ips.scan.markerLikeRecord, 1u);
    EXPECT_EQ(report.ips.scan.recordsAfterMarkerLike, 2u);
    EXPECT_EQ(report.ips.scan.endMarker, PatchEndPlain);
    EXPECT_EQ(report.ips.recordsApplied, 3u);
    Bytes got = ReadFile(target);
    ASSERT_EQ(got.size(), 0x454F47u);
    EXPECT_EQ(got[0x454F46], 'A');
    EXPECT_EQ(got[0], 'Q');
    EXPECT_EQ(got[9], 7);
    EXPECT_EQ(got[10], 7);
    EXPECT_EQ(got[11], before[11]);
    EXPECT_TRUE(std::all_of(got.begin() + 64, got.begin() + 0x454F46, [](uint8_t b) { return b == 0; }));
}

// --- progress ---------------------------------------------------------------------

TEST_F(IpsRun, ProgressEvery5000DataRecords) {
    // 12,000 data records of 4 bytes (9 bytes each) with run records between
    // them, which never count: updates after data records 5,000 and 10,000.
    PatchBuilder p;
    size_t after5000 = 0, after10000 = 0;  // block position after those records
    for (int i = 0; i < 12000; ++i) {
        p.Data(uint32_t(i % 100) * 4, Bytes{uint8_t(i), uint8_t(i >> 8), 1, 2});
        if (i == 4999) after5000 = p.b.size();
        if (i == 9999) after10000 = p.b.size();
        if (i % 1000 == 0) p.Run(0x1000, 3, uint8_t(i));
    }
    const Bytes& patch = p.b;
    const uint32_t first = uint32_t(after5000 * 100 / patch.size());
    const uint32_t second = uint32_t(after10000 * 100 / patch.size());
    EXPECT_EQ(first, 41u);
    EXPECT_EQ(second, 83u);

    fs::path target = File("t.bin");
    WriteFile(target, Filled(16, 0));
    Recorder r;
    EXPECT_EQ(Run(patch, target, &r), PatchResultDone);
    EXPECT_EQ(r.progress, (std::vector<uint32_t>{0, first, second, 100}));

    // The count is per run: a second run on another file starts again.
    fs::path other = File("other.bin");
    WriteFile(other, Filled(16, 0));
    Recorder r2;
    EXPECT_EQ(Run(patch, other, &r2), PatchResultDone);
    EXPECT_EQ(r2.progress, r.progress);
    EXPECT_EQ(ReadFile(other), ReadFile(target));
}

TEST_F(IpsRun, ProgressIsTrueAbove42MiB) {
    // 10,000 data records of 9,000 bytes, all at offset 0: an 86 MiB patch.
    // After record 5,000 (45,025,005 bytes in) the position times 100 no
    // longer fits 32 bits.
    const uint32_t recordSize = 9000;
    Bytes data = Pattern(recordSize, 5);
    PatchBuilder p;
    p.b.reserve(5 + 10000 * (5 + recordSize));
    for (int i = 0; i < 10000; ++i) {
        data[0] = uint8_t(i);
        p.Data(0, data);
    }
    ASSERT_EQ(p.b.size(), 90050005u);
    ASSERT_GT(45025005ull * 100, uint64_t(UINT32_MAX));
    fs::path target = File("t.bin");
    WriteFile(target, Filled(16, 0));
    Recorder r;
    EXPECT_EQ(Run(p.b, target, &r), PatchResultDone);
    // 45,025,005 * 100 / 90,050,005 = 50, then the end of the block.
    EXPECT_EQ(r.progress, (std::vector<uint32_t>{0, 50, 100, 100}));
    Bytes got = ReadFile(target);
    ASSERT_EQ(got.size(), recordSize);
    EXPECT_EQ(got[0], uint8_t(9999));
}

TEST_F(IpsRun, ProgressOnALargeSpanMovesWithTheWrites) {
    // 12,000 data records over 8 MiB: the records take the first half of
    // the bar at their cadence, and each 1 MiB window written moves the
    // second half.
    PatchBuilder p;
    for (uint32_t i = 0; i < 12000; ++i) p.Data(i * 699, Bytes{uint8_t(i), 1, 2, 3});
    fs::path target = File("t.bin");
    WriteFile(target, Filled(16, 0));
    Recorder r;
    EXPECT_EQ(Run(p.b, target, &r), PatchResultDone);
    const uint32_t first = uint32_t(uint64_t(5 + 5000 * 9) * 50 / p.b.size());
    const uint32_t second = uint32_t(uint64_t(5 + 10000 * 9) * 50 / p.b.size());
    // The span, 8,387,305 bytes from offset 0, is 8 windows: after window k
    // (k + 1) MiB of it are done, the last one up to its end.
    const uint64_t span = 11999 * 699 + 4;
    std::vector<uint32_t> expected = {0, first, second};
    for (uint64_t k = 1; k <= 8; ++k) expected.push_back(50 + uint32_t(std::min(k << 20, span) * 49 / span));
    expected.push_back(100);
    EXPECT_EQ(r.progress, expected);
}

TEST_F(IpsRun, IdentificationAndBackupShareTheBarByTheBytesTheyMove) {
    // A verified patcher, backup ticked, one record on an 8 MiB target: the
    // target is read once for its CRC-32 and copied (read and written), so
    // identification takes a third of the bar and the copy the rest but the
    // write phase's 1% or so; both keep the host alive as they go.
    const Bytes original = Pattern(8 << 20, 12);
    const Bytes patch = PatchBuilder().Data(100, "new").b;
    Bytes patched = original;
    ASSERT_TRUE(ipsref::Apply(patch, &patched));
    const TargetFacts facts = {uint32_t(original.size()), Crc32Update(0, original.data(), uint32_t(original.size())),
                               uint32_t(patched.size()), Crc32Update(0, patched.data(), uint32_t(patched.size()))};
    fs::path target = File("t.bin");
    WriteFile(target, original);
    PatchStream stream(patch);
    Recorder r;
    ASSERT_EQ(ApplyPatch(stream.stream, PathText(target), r.Hooks(true), nullptr, &facts), PatchResultDone);
    EXPECT_EQ(ReadFile(target), patched);
    EXPECT_EQ(ReadFile(File("t.bin.bak")), original);
    ASSERT_FALSE(r.progress.empty());
    EXPECT_TRUE(std::is_sorted(r.progress.begin(), r.progress.end()));
    EXPECT_EQ(r.progress.back(), 100u);
    // span 3 bytes: identification ends at 8 MiB / (24 MiB + 1 KiB) of the
    // bar, the copy at 16 MiB further on; each moves through its part.
    const auto positionsIn = [&](uint32_t low, uint32_t high) {
        return std::count_if(r.progress.begin(), r.progress.end(), [&](uint32_t p) { return p >= low && p <= high; });
    };
    EXPECT_GE(positionsIn(1, 33), 4) << "the bar moves while the target is read";
    EXPECT_GE(positionsIn(34, 99), 4) << "the bar moves while the target is copied";
    EXPECT_GE(r.pulses, 8u) << "the host is kept alive chunk by chunk";

    // Already patched: identification alone, the bar never full.
    Recorder again;
    EXPECT_EQ(ApplyPatch(stream.stream, PathText(target), again.Hooks(true), nullptr, &facts),
              PatchResultAlreadyPatched);
    EXPECT_TRUE(again.progress.empty() || again.progress.back() <= 33u);
}

// --- repeated runs and backups ----------------------------------------------------

TEST_F(IpsRun, SecondRunReadsTheWholePatchAgain) {
    const Bytes patch = PatchBuilder().Data(1, "one").Run(6, 2, 0xEE).Data(0x30, "far").b;
    PatchStream stream(patch);  // the same stream for every run
    fs::path a = File("a.bin"), b = File("b.bin");
    const Bytes before = Pattern(20, 6);
    Bytes expected = before;
    ASSERT_TRUE(ipsref::Apply(patch, &expected));
    WriteFile(a, before);
    WriteFile(b, before);
    // The second run on a finds every byte there already and writes nothing.
    const struct {
        const fs::path* target;
        PatchResult result;
    } runs[] = {{&a, PatchResultDone}, {&a, PatchResultAlreadyPatched}, {&b, PatchResultDone}};
    for (const auto& run : runs) {
        Recorder r;
        EXPECT_EQ(ApplyPatch(stream.stream, PathText(*run.target), r.Hooks(false), nullptr), run.result);
        EXPECT_EQ(IsElapsedMessage(r.Note()), run.result == PatchResultDone) << r.Note();
        EXPECT_EQ(Difference(ReadFile(*run.target), expected), "identical") << *run.target;
    }
}

TEST_F(IpsRun, BackupHoldsThePreRunBytes) {
    fs::path target = File("a.bin");
    fs::path backup = File("a.bin.bak");
    EXPECT_EQ(BackupPathFor(PathText(target)), PathText(backup));
    const Bytes original = Pattern(300, 7);
    const Bytes patch = PatchBuilder().Data(10, "patched").Data(400, "grown").b;
    Bytes once = original;
    ASSERT_TRUE(ipsref::Apply(patch, &once));
    WriteFile(target, original);
    WriteFile(backup, Filled(5000, 0x42));  // an older backup, overwritten

    // The header test fails before any backup: the older one stays.
    Recorder bad;
    EXPECT_EQ(Run(Bytes{'P', 'A', 'T', 'C', 'X'}, target, &bad, true),
              PatchResultMalformed);
    EXPECT_EQ(bad.Note(), "ERROR");
    EXPECT_TRUE(bad.progress.empty()) << "the bar is not touched";
    EXPECT_EQ(ReadFile(backup), Filled(5000, 0x42));
    EXPECT_EQ(ReadFile(target), original);

    Recorder first;
    EXPECT_EQ(Run(patch, target, &first, true), PatchResultDone);
    EXPECT_EQ(ReadFile(backup), original);
    EXPECT_EQ(ReadFile(target), once);

    // A second run finds the patch there: the backup keeps the original.
    Recorder second;
    EXPECT_EQ(Run(patch, target, &second, true), PatchResultAlreadyPatched);
    EXPECT_EQ(ReadFile(backup), original);
    EXPECT_EQ(ReadFile(target), once);
}

// Every shape of patch is seen once applied, so a second run with the
// backup ticked never puts the patched file in place of the original.
TEST_F(IpsRun, EveryShapeIsSeenAppliedAndTheBackupKeepsTheOriginal) {
    const struct {
        const char* name;
        Bytes patch;
    } shapes[] = {
        {"growing", PatchBuilder().Data(10, "patched").Data(400, "grown").b},
        {"run records", PatchBuilder().Run(2, 50, 0xAA).Run(290, 40, 0x5A).b},
        {"cut, records past the cut", PatchBuilder().Data(4, "XY").Data(200, "gone").Truncate(100).b},
        {"cut, last record across the cut", PatchBuilder().Data(4, "XY").Run(90, 30, 0x11).Truncate(100).b},
        {"extended by the marker", PatchBuilder().Data(4, "XY").Truncate(500).b},
        {"cut only", PatchBuilder().Truncate(100).b},
    };
    const Bytes original = Pattern(300, 7);
    for (const auto& shape : shapes) {
        SCOPED_TRACE(shape.name);
        const fs::path target = File("s.bin"), backup = File("s.bin.bak");
        fs::remove(backup);
        WriteFile(target, original);
        Bytes once = original;
        ASSERT_TRUE(ipsref::Apply(shape.patch, &once));
        for (int run = 0; run < 2; ++run) {
            Recorder r;
            EXPECT_EQ(Run(shape.patch, target, &r, true), run == 0 ? PatchResultDone : PatchResultAlreadyPatched);
            EXPECT_EQ(ReadFile(target), once);
            EXPECT_EQ(ReadFile(backup), original);
        }
    }
}

// Targets that are no disk file are refused at once, nothing read or
// written: a FIFO with no writer would hang a read, and /dev/null (NUL)
// swallows every write and reads back empty.
TEST_F(IpsRun, FifosAndDevicesAreRefused) {
#ifdef _WIN32
    const char* targets[] = {"NUL"};
#else
    ASSERT_EQ(mkfifo(File("fifo").c_str(), 0600), 0);
    const char* targets[] = {"fifo", "/dev/null"};
#endif
    const Bytes patch = PatchBuilder().Data(2, "hi").Truncate(8).b;
    for (const char* target : targets) {
        for (bool backup : {false, true}) {
            SCOPED_TRACE(std::string(target) + (backup ? ", backup ticked" : ""));
            const fs::path path = std::string(target) == "fifo" ? File(target) : fs::path(target);
            Recorder r;
            PatchRunReport report;
            PatchStream stream(patch);
            EXPECT_EQ(ApplyPatch(stream.stream, PathText(path), r.Hooks(backup), &report), PatchResultWriteFailed);
            EXPECT_TRUE(report.notRegularFile);
            EXPECT_FALSE(report.backupMade);
            EXPECT_TRUE(r.progress.empty());
        }
    }
    EXPECT_FALSE(fs::exists(File("fifo.bak")));
}

#ifndef _WIN32
// A name whose ".bak" just fits the file system's limit (255 bytes): the
// backup's temporary gets a shortened name beside it rather than failing.
TEST_F(IpsRun, BackupOfANameAtTheLengthLimit) {
    const Bytes original = Pattern(300, 5);
    const Bytes patch = PatchBuilder().Data(3, "new").b;
    for (size_t length : {244u, 247u, 251u}) {
        SCOPED_TRACE(length);
        const std::string name(length, 'n');
        WriteFile(File(name), original);
        Recorder r;
        EXPECT_EQ(Run(patch, File(name), &r, true), PatchResultDone);
        EXPECT_EQ(ReadFile(File(name + ".bak")), original);
        fs::remove(File(name));
        fs::remove(File(name + ".bak"));
        EXPECT_TRUE(fs::is_empty(dir)) << "a temporary was left";
    }
}

#endif

// A target past 4 GiB (sparse) keeps its size: the patch writes below
// 16 MiB and only a truncation marker sets another size. Under Windows too:
// the sizes go through GetFileSize and SetFilePointer with their high words.
TEST_F(IpsRun, TargetsOf4GiBAndMoreAreNeverCut) {
    const uint64_t big = 5ull << 30;
    const struct {
        const char* name;
        Bytes patch;
        uint64_t size;
        PatchResult second;
    } rows[] = {
        {"one record", PatchBuilder().Data(0x1000, "four").b, big, PatchResultAlreadyPatched},
        {"a record at the top of the offsets", PatchBuilder().Data(0xFFFFFF, "zz").b, big, PatchResultAlreadyPatched},
        {"cut where the marker says", PatchBuilder().Data(0x10, "ab").Truncate(0x2000).b, 0x2000,
         PatchResultAlreadyPatched},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path target = File("big.bin");
        fs::remove(target);
        WriteFile(target, Bytes{'x'});
        fs::resize_file(target, big);
        for (PatchResult expected : {PatchResultDone, row.second}) {
            Recorder r;
            EXPECT_EQ(Run(row.patch, target, &r), expected);
            EXPECT_EQ(fs::file_size(target), row.size);
        }
        std::ifstream in(target, std::ios::binary);
        char head = 0;
        in.read(&head, 1);
        EXPECT_EQ(head, 'x');
    }
    fs::remove(File("big.bin"));
}
// --- malformed patches ------------------------------------------------------------

TEST_F(IpsRun, PatchCutAtEveryPosition) {
    const Bytes full = PatchBuilder()
                           .Data(0x10, "abcd")
                           .Run(0x20, 3, 0xFF)
                           .Data(0x05, "xy")
                           .Run(0x30, 0, 0x11)
                           .Data(0x3F, "z")
                           .Truncate(0x38)
                           .b;
    ASSERT_EQ(full.size(), 49u);
    const Bytes before = Pattern(0x40, 8);
    std::vector<size_t> acceptedLengths;
    for (size_t n = 0; n <= full.size(); ++n) {
        SCOPED_TRACE("first " + std::to_string(n) + " bytes");
        const Bytes block(full.begin(), full.begin() + n);
        Bytes expected = before;
        const bool valid = ipsref::Apply(block, &expected);
        if (valid) acceptedLengths.push_back(n);
        fs::path target = File("t.bin");
        WriteFile(target, before);
        Recorder r;
        EXPECT_EQ(Run(block, target, &r), valid ? PatchResultDone : PatchResultMalformed);
        if (valid) {
            EXPECT_TRUE(IsElapsedMessage(r.Note())) << r.Note();
        } else {
            EXPECT_EQ(r.Note(), "ERROR");
            EXPECT_TRUE(r.progress.empty());
        }
        EXPECT_EQ(Difference(ReadFile(target), valid ? expected : before), "identical");
    }
    // Only whole records (and the bare marker) make an acceptable block.
    EXPECT_EQ(acceptedLengths, (std::vector<size_t>{5, 14, 22, 29, 37, 43, 46, 49}));
}

// --- failures ---------------------------------------------------------------------

// Makes a file refuse writers for as long as the guard lives: the read-only
// attribute on Windows; on POSIX mode 0444, and for root (which ignores the
// mode) the immutable flag. Skips the calling test when neither binds.
class ReadOnlyGuard {
public:
    explicit ReadOnlyGuard(const fs::path& path) : path_(path) {
#ifdef _WIN32
        active_ = SetFileAttributesA(path.string().c_str(), FILE_ATTRIBUTE_READONLY) != 0;
        // Wine running as root opens read-only files for writing anyway
        // (the Unix permission bits it maps the attribute to do not bind root).
        HANDLE probe = CreateFileA(path.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (probe != INVALID_HANDLE_VALUE) {
            CloseHandle(probe);
            active_ = false;
        }
#else
        active_ = chmod(path.c_str(), 0444) == 0;
        int probe = open(path.c_str(), O_WRONLY);
        if (probe >= 0) {
            close(probe);
            int fd = open(path.c_str(), O_RDONLY);
            int flags = 0;
            if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
                flags |= FS_IMMUTABLE_FL;
                immutable_ = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
            }
            if (fd >= 0) close(fd);
            probe = open(path.c_str(), O_WRONLY);
            if (probe >= 0) {
                close(probe);
                active_ = false;
            }
        }
#endif
    }
    ~ReadOnlyGuard() {
#ifdef _WIN32
        SetFileAttributesA(path_.string().c_str(), FILE_ATTRIBUTE_NORMAL);
#else
        if (immutable_) {
            int fd = open(path_.c_str(), O_RDONLY);
            int flags = 0;
            if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
                flags &= ~FS_IMMUTABLE_FL;
                ioctl(fd, FS_IOC_SETFLAGS, &flags);
            }
            if (fd >= 0) close(fd);
        }
        chmod(path_.c_str(), 0644);
#endif
    }
    bool active() const { return active_; }

private:
    fs::path path_;
    bool active_ = false;
    bool immutable_ = false;
};

struct FailureCase {
    const char* name;
    enum Setup { ReadOnly, HeldOpen, BackupIsDirectory } setup;
    bool backup;
    bool validPatch;
    PatchResult result;
    const char* message;  // null: the run succeeds
    // A second acceptable outcome where platforms differ in which of two
    // failures comes first (both are reported, nothing is lost).
    PatchResult alternative;
};

class IpsFailure : public IpsRun {
protected:
    // Runs one row; returns false when the setup cannot be made here.
    bool RunRow(const FailureCase& c, int row) {
        SCOPED_TRACE(c.name);
        const Bytes original = Pattern(500, 9);
        const Bytes good = PatchBuilder().Data(3, "new").Data(1000, "grow").b;
        const Bytes bad = PatchBuilder().Data(3, "new").Offset(9).b;
        fs::path target = File("f" + std::to_string(row) + ".bin");
        fs::path backup = fs::path(target.string() + ".bak");
        WriteFile(target, original);
        Recorder r;
        PatchResult result = PatchResultDone;
        if (c.setup == FailureCase::ReadOnly) {
            ReadOnlyGuard guard(target);
            if (!guard.active()) return false;
            result = Run(c.validPatch ? good : bad, target, &r, c.backup);
        } else if (c.setup == FailureCase::HeldOpen) {
            FileHandle holder = OpenFileHandle(PathText(target), OpenModeReadWriteExisting);
            EXPECT_TRUE(IsValidFileHandle(holder));
            result = Run(c.validPatch ? good : bad, target, &r, c.backup);
            CloseFileHandle(holder);
        } else {
            fs::create_directory(backup);
            result = Run(c.validPatch ? good : bad, target, &r, c.backup);
            EXPECT_TRUE(fs::is_directory(backup)) << "the directory is left alone";
        }
        if (result == c.alternative && c.alternative != c.result) {
            // Backup made, then the target refused: the copy is the original.
            EXPECT_EQ(r.Note(), "WRITE-FAILED");
            EXPECT_EQ(ReadFile(backup), original);
        } else {
            EXPECT_EQ(result, c.result);
            if (c.message) EXPECT_EQ(r.Note(), c.message);
        }
        if (c.message) {
            // Only a backup copy made before the failure moves the bar; a
            // failed run never shows it full.
            if (fs::is_regular_file(backup))
                EXPECT_TRUE(r.progress.empty() || r.progress.back() < 100);
            else
                EXPECT_TRUE(r.progress.empty());
            EXPECT_EQ(ReadFile(target), original) << "nothing lost";
        } else {
            EXPECT_TRUE(IsElapsedMessage(r.Note()));
            Bytes expected = original;
            EXPECT_TRUE(ipsref::Apply(good, &expected));
            EXPECT_EQ(ReadFile(target), expected);
        }
        return true;
    }
};

TEST_F(IpsFailure, TargetHeldOpenOrBackupUnwritable) {
    const FailureCase cases[] = {
        {"target held open without write sharing", FailureCase::HeldOpen, false, true, PatchResultWriteFailed,
         "WRITE-FAILED", PatchResultWriteFailed},
        // The target is opened for writing before anything else, backup
        // included: no copy is made.
        {"held open, backup ticked", FailureCase::HeldOpen, true, true, PatchResultWriteFailed, "WRITE-FAILED",
         PatchResultWriteFailed},
        {"backup path is a directory", FailureCase::BackupIsDirectory, true, true, PatchResultBackupFailed,
         "BACKUP-FAILED", PatchResultBackupFailed},
        // The block is refused before a backup is tried.
        {"backup path is a directory, bad patch", FailureCase::BackupIsDirectory, true, false,
         PatchResultMalformed, "ERROR", PatchResultMalformed},
        {"backup path is a directory, not asked for", FailureCase::BackupIsDirectory, false, true,
         PatchResultDone, nullptr, PatchResultDone},
    };
    for (const FailureCase& c : cases) EXPECT_TRUE(RunRow(c, int(&c - cases))) << c.name;
}

TEST_F(IpsFailure, ReadOnlyTarget) {
    const FailureCase cases[] = {
        {"read-only target", FailureCase::ReadOnly, false, true, PatchResultWriteFailed, "WRITE-FAILED",
         PatchResultWriteFailed},
        // The target is opened before the block is tested: the open failure
        // is the first failure and the one reported.
        {"read-only target, bad patch", FailureCase::ReadOnly, false, false, PatchResultWriteFailed,
         "WRITE-FAILED", PatchResultWriteFailed},
        {"read-only target, backup ticked", FailureCase::ReadOnly, true, true, PatchResultWriteFailed,
         "WRITE-FAILED", PatchResultWriteFailed},
    };
    for (const FailureCase& c : cases) {
        if (!RunRow(c, int(&c - cases)))
            GTEST_SKIP() << "this system lets the test process write read-only files (Wine running as root); "
                            "the open failure itself is covered by the held-open rows";
    }
}

#ifndef _WIN32
// A write that comes up short in the middle of a run (here: the file size
// limit) stops the run at that record and is reported; the records after it
// are not applied and no elapsed time is shown.
// A file that may not grow past 64 KiB stands for a full disk: the run
// finds out while bringing the target to its size, before any byte of it
// changes, and leaves it exactly as it was.
TEST_F(IpsRun, ShortWriteLeavesTheTargetAsItWas) {
    fs::path target = File("t.bin");
    const Bytes original = Pattern(100, 10);
    WriteFile(target, original);
    const Bytes patch = PatchBuilder().Data(0, "A").Data(0x100000, "B").Data(1, "C").b;

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*savedSignal)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    Recorder r;
    PatchRunReport report;
    PatchResult result = Run(patch, target, &r, false, &report);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, savedSignal);

    EXPECT_EQ(result, PatchResultWriteFailed);
    EXPECT_EQ(r.Note(), "WRITE-FAILED");
    EXPECT_EQ(r.progress, std::vector<uint32_t>{0});
    EXPECT_EQ(report.ips.recordsApplied, 0u);
    EXPECT_EQ(Difference(ReadFile(target), original), "identical");
}
#endif

TEST_F(IpsRun, MissingTargetIsCreatedOrNamesAWriteFailure) {
    // The window only runs on existing files; a headless caller may name a
    // missing one, which is created as the read-write open does.
    fs::path target = File("new.bin");
    Recorder r;
    EXPECT_EQ(Run(PatchBuilder().Data(2, "hi").b, target, &r), PatchResultDone);
    EXPECT_EQ(ReadFile(target), (Bytes{0, 0, 'h', 'i'}));
    // A target in a directory that does not exist cannot be opened.
    Recorder r2;
    EXPECT_EQ(Run(PatchBuilder().Data(2, "hi").b, File("nowhere") / "x.bin", &r2), PatchResultWriteFailed);
    EXPECT_EQ(r2.Note(), "WRITE-FAILED");
    // Asked for a backup of a file that is not there: the backup fails first.
    Recorder r3;
    EXPECT_EQ(Run(PatchBuilder().Data(2, "hi").b, File("absent.bin"), &r3, true), PatchResultBackupFailed);
    EXPECT_EQ(r3.Note(), "BACKUP-FAILED");
    EXPECT_FALSE(fs::exists(File("absent.bin")));
}

TEST_F(IpsRun, NullHooksAreAllowed) {
    fs::path target = File("t.bin");
    WriteFile(target, Filled(8, 0));
    PatchStream patch(PatchBuilder().Data(1, "q").b);
    EXPECT_EQ(ApplyPatch(patch.stream, PathText(target), nullptr, nullptr), PatchResultDone);
    EXPECT_EQ(ReadFile(target), (Bytes{0, 'q', 0, 0, 0, 0, 0, 0}));
}

}  // namespace
