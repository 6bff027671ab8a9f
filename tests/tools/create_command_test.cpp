// tessel-pack create and build --original/--modified: a table of pairs,
// every patch taken back through an applier written here from the formats
// (IPS: tool_test_support's reference; BPS: the small decoder below); the
// IPS sizes against a plain quadratic search for the cheapest records; the
// in-tree suffix sorter against a naive sort and the library; the guard
// rails; and the guide against the help.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tool_test_support.h"
#include "tools/tessel_pack/help.h"
#include "tools/tessel_pack/ips_create.h"
#include "tools/tessel_pack/suffix_array.h"

using namespace tooltest;

namespace {

uint32_t Random(uint64_t& state) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return uint32_t(state >> 33);
}

std::string RandomBytes(size_t n, uint64_t seed, int alphabet = 256) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = char(Random(seed) % alphabet);
    return bytes;
}

// BPS as its format describes it; empty on any inconsistency.
uint64_t BpsNumber(const std::string& p, size_t& at) {
    uint64_t value = 0, shift = 1;
    while (at < p.size()) {
        const uint8_t x = uint8_t(p[at++]);
        value += (x & 0x7F) * shift;
        if (x & 0x80) return value;
        shift <<= 7;
        value += shift;
    }
    return ~uint64_t(0);
}

std::string DecodeBps(const std::string& p, const std::string& source) {
    size_t at = 4;
    if (p.compare(0, 4, "BPS1") != 0 || p.size() < 16) return "<bad>";
    const uint64_t sourceSize = BpsNumber(p, at), targetSize = BpsNumber(p, at);
    at += BpsNumber(p, at);
    if (sourceSize != source.size()) return "<bad>";
    std::string out;
    int64_t sourceRelative = 0, targetRelative = 0;
    while (at < p.size() - 12) {
        const uint64_t word = BpsNumber(p, at);
        const uint64_t length = (word >> 2) + 1;
        if ((word & 3) == 0) {
            out += source.substr(out.size(), length);
        } else if ((word & 3) == 1) {
            out += p.substr(at, length);
            at += length;
        } else {
            const uint64_t offset = BpsNumber(p, at);
            int64_t& relative = (word & 3) == 2 ? sourceRelative : targetRelative;
            relative += (offset & 1) ? -int64_t(offset >> 1) : int64_t(offset >> 1);
            const std::string& from = (word & 3) == 2 ? source : out;
            for (uint64_t i = 0; i < length; ++i) {
                if (relative < 0 || size_t(relative) >= from.size()) return "<bad>";
                out += from[size_t(relative++)];
            }
        }
    }
    return out.size() == targetSize ? out : "<bad>";
}

// The IPS record offsets a patch holds, read from the format.
std::vector<uint32_t> IpsOffsets(const std::string& p) {
    std::vector<uint32_t> offsets;
    auto big = [&](size_t at, int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v = v << 8 | uint8_t(p[at + i]);
        return v;
    };
    for (size_t at = 5; at + 3 < p.size() || (at + 3 == p.size() && p.compare(at, 3, "EOF") != 0);) {
        if (p.size() - at == 6 && p.compare(at, 3, "EOF") == 0) break;
        offsets.push_back(big(at, 3));
        const uint32_t size = big(at + 3, 2);
        at += 5 + (size ? size : 3);
    }
    return offsets;
}

struct Pair {
    const char* name;
    std::string original, modified;
    size_t maxIps;  // 0: IPS refused
    size_t maxBps;
};

std::vector<Pair> Pairs() {
    std::vector<Pair> pairs;
    const std::string rom = RandomBytes(64 * 1024, 1);
    {
        std::string m = rom;  // 40 strings of 12 bytes rewritten
        for (int i = 0; i < 40; ++i) m.replace(1000 + i * 1500, 12, "TRANSLATED!!");
        pairs.push_back({"translation-like edits", rom, m, 40 * (5 + 12) + 8, 40 * (12 + 8) + 30});
    }
    {
        std::string a = rom, m = rom;  // 0xFF padding turned into zeros, half of it already zero
        a.replace(8192, 4096, std::string(4096, '\xFF'));
        m.replace(8192, 4096, std::string(4096, '\0'));
        a.replace(10240, 2048, std::string(2048, '\0'));
        pairs.push_back({"padding changed to one run", a, m, 5 + 8 + 3, 48});
    }
    {
        std::string m = rom + RandomBytes(30000, 2) + std::string(3000, '\0');
        pairs.push_back({"expanded, trailing zeros", rom, m, 5 + 5 + 30000 + 8 + 3, 30000 + 48});
    }
    {
        std::string m = rom.substr(0, 40000);
        m[100] ^= 1;
        pairs.push_back({"shrunk", rom, m, 5 + 6 + 3 + 3, 40});
    }
    {
        std::string m = rom;
        for (size_t i = 0; i < 9000; i += 3) m[i] ^= 0x20;
        pairs.push_back({"a byte in every three", rom, m, 5 + 5 + 8998 + 3, 9000 + 48});
    }
    {
        std::string a = RandomBytes(kIpsEofOffset + 70000, 3), m = a;
        for (uint32_t at : {kIpsEofOffset - 1, kIpsEofOffset, kIpsEofOffset + 1, kIpsEofOffset + 65600}) m[at] ^= 1;
        // The three bytes at 0x454F45 in one record, which may not start a byte later.
        pairs.push_back({"changes around 0x454F46", a, m, 5 + (5 + 3) + (5 + 1) + 3, 60});
    }
    {
        std::string a = RandomBytes(70000, 4), m = a;  // 70,000 changed bytes: a record split
        for (char& c : m) c = char(c ^ 0x5A);
        pairs.push_back({"over 65,535 changed bytes", a, m, 5 + 2 * 5 + 70000 + 3, 70000 + 48});
    }
    {
        std::string m = rom.substr(0, 1000) + rom.substr(21000) + rom.substr(1000, 20000);
        pairs.push_back({"a moved block", rom, m, 64 * 1024 + 100, 48});
    }
    {
        std::string m = rom.substr(0, 32768) + RandomBytes(1000, 5) + rom.substr(32768);
        pairs.push_back({"1,000 bytes inserted", rom, m, 64 * 1024 + 1100, 1000 + 48});
    }
    {
        // Past the last byte a record at 0xFFFFFF reaches; the original repeated.
        const std::string a = RandomBytes(200, 6);
        std::string m;
        while (m.size() < 0x1010000) m += a;
        pairs.push_back({"growth past 16 MiB", a, m, 0, 64});
    }
    return pairs;
}

// Every pair through create in both formats: the file written gives the
// modified file back, within the size the rules allow.
TEST(CreateCommand, EveryPairRoundTripsInBothFormats) {
    ScratchDir dir;
    for (const Pair& pair : Pairs()) {
        SCOPED_TRACE(pair.name);
        ASSERT_TRUE(WriteFile(dir.File("a.bin"), pair.original));
        ASSERT_TRUE(WriteFile(dir.File("b.bin"), pair.modified));
        const ToolRun ips = RunTool({"create", "--original", dir.File("a.bin"), "--modified", dir.File("b.bin"), "-o",
                                     dir.File("p.ips")});
        if (pair.maxIps == 0) {
            EXPECT_EQ(ips.exitCode, 1);
            EXPECT_NE(ips.err.find("make a BPS patch"), std::string::npos) << ips.err;
            EXPECT_FALSE(Exists(dir.File("p.ips")));
        } else {
            ASSERT_EQ(ips.exitCode, 0) << ips.err;
            const std::string patch = ReadFile(dir.File("p.ips"));
            EXPECT_LE(patch.size(), pair.maxIps);
            EXPECT_TRUE(ApplyReference(patch, pair.original) == pair.modified);
            for (uint32_t offset : IpsOffsets(patch)) EXPECT_NE(offset, kIpsEofOffset);
            remove(dir.File("p.ips").c_str());
        }
        const ToolRun bps = RunTool({"create", "--original", dir.File("a.bin"), "--modified", dir.File("b.bin"),
                                     "--format", "BPS", "-o", dir.File("p.out")});
        ASSERT_EQ(bps.exitCode, 0) << bps.err;
        const std::string patch = ReadFile(dir.File("p.out"));
        EXPECT_LE(patch.size(), pair.maxBps);
        EXPECT_TRUE(DecodeBps(patch, pair.original) == pair.modified);
    }
}

// The cheapest non-overlapping records by brute force: every record [p, q)
// tried for every q.
size_t CheapestIpsSize(const std::string& a, const std::string& b) {
    const size_t n = b.size();
    std::vector<size_t> f(n + 1, SIZE_MAX);
    f[0] = 0;
    for (size_t q = 1; q <= n; ++q) {
        const bool must = q - 1 >= a.size() || a[q - 1] != b[q - 1];
        if (!must) f[q] = f[q - 1];
        bool oneValue = true;
        for (size_t p = q; p-- > 0;) {
            oneValue = oneValue && b[p] == b[q - 1];
            f[q] = std::min(f[q], f[p] + 5 + (q - p));
            if (oneValue) f[q] = std::min(f[q], f[p] + 8);
        }
    }
    return 5 + f[n] + 3 + (b.size() < a.size() ? 3 : 0);
}

TEST(CreateIps, SmallRandomPairsGetTheCheapestRecords) {
    uint64_t seed = 11;
    for (int round = 0; round < 400; ++round) {
        const size_t n = Random(seed) % 200, m = Random(seed) % 200;
        const int alphabet = 2 + Random(seed) % 3;
        std::string a = RandomBytes(n, Random(seed), alphabet), b = RandomBytes(m, Random(seed), alphabet);
        const uint32_t keep = Random(seed) % 8;  // 0..7 of 8 bytes kept from the original
        for (size_t i = 0; i < std::min(n, m); ++i)
            if (Random(seed) % 8 < keep) b[i] = a[i];
        if (a == b) continue;
        std::string patch, reason;
        ASSERT_TRUE(CreateIpsPatch(reinterpret_cast<const uint8_t*>(a.data()), a.size(),
                                   reinterpret_cast<const uint8_t*>(b.data()), b.size(), patch, reason));
        ASSERT_TRUE(ApplyReference(patch, a) == b) << "round " << round;
        ASSERT_EQ(patch.size(), CheapestIpsSize(a, b)) << "round " << round;
    }
}

TEST(SuffixArray, InTreeBuilderAgreesWithNaiveSortAndTheLibrary) {
    uint64_t seed = 5;
    for (int round = 0; round < 300; ++round) {
        const size_t n = round < 200 ? Random(seed) % 64 : Random(seed) % 5000;
        std::string text = RandomBytes(n, Random(seed), 1 + Random(seed) % 4);
        if (round % 7 == 0) text = std::string(n, 'a');  // one long run
        const uint8_t* t = reinterpret_cast<const uint8_t*>(text.data());
        std::vector<int32_t> inTree(n + 1), library(n + 1);
        ASSERT_TRUE(BuildSuffixArrayInTree(t, int32_t(n), inTree.data()));
        ASSERT_TRUE(BuildSuffixArray(t, int32_t(n), library.data()));
        inTree.resize(n);
        library.resize(n);
        EXPECT_EQ(inTree, library) << SuffixArrayBuilderName() << ", round " << round;
        if (n > 64) continue;
        std::vector<int32_t> naive(n);
        for (size_t i = 0; i < n; ++i) naive[i] = int32_t(i);
        std::sort(naive.begin(), naive.end(),
                  [&](int32_t x, int32_t y) { return text.compare(size_t(x), n, text, size_t(y), n) < 0; });
        EXPECT_EQ(inTree, naive) << "round " << round;
    }
}

// What is refused, and how it is named; nothing is written for any of them.
TEST(CreateCommand, RefusalsNameTheProblem) {
    ScratchDir dir;
    const std::string rom = RandomBytes(4096, 9);
    const std::string header(512, '\0');
    const struct {
        const char* name;
        std::string original, modified;
        std::vector<std::string> extra;
        int exitCode;
        const char* says;
    } rows[] = {
        {"identical", rom, rom, {"-o", dir.File("p.ips")}, 1, "this is the patched file: it is identical"},
        {"original = modified with a header", header + rom, rom, {"-o", dir.File("p.ips")}, 1,
         "this is the patched file with a 512-byte copier header"},
        {"original = modified without its header", rom, header + rom, {"-o", dir.File("p.bps")}, 1,
         "this is the patched file without its 512-byte copier header"},
        {"shrunk to 16 MiB", RandomBytes(0x1000100, 1, 2), std::string(0x1000000, '\0'), {"-o", dir.File("p.ips")},
         1, "cut a file only to a size below 16 MiB"},
        {"no format", rom, header, {"-o", dir.File("p.bin")}, 2, "name it .ips or .bps"},
        {"unknown format", rom, header, {"--format", "ups", "-o", dir.File("p.ips")}, 2, "--format is ips or bps"},
        {"output is the original", rom, header, {"-o", dir.File("a.bin"), "--format", "ips"}, 2, "overwrite it"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(WriteFile(dir.File("a.bin"), row.original));
        ASSERT_TRUE(WriteFile(dir.File("b.bin"), row.modified));
        std::vector<std::string> args = {"create", "--original", dir.File("a.bin"), "--modified", dir.File("b.bin")};
        args.insert(args.end(), row.extra.begin(), row.extra.end());
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.exitCode, row.exitCode);
        EXPECT_NE(run.err.find(row.says), std::string::npos) << run.err;
        EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"a.bin", "b.bin"}));
    }
}

// build from the two files: the patcher records them, turns the original
// into the modified file and leaves the modified file alone.
TEST(BuildFromPair, PatcherAppliesAndKnowsThePatchedFile) {
    ScratchDir dir;
    const std::string original = RandomBytes(20000, 3);
    std::string modified = original + "grown";
    modified.replace(300, 9, "patched!!");
    ASSERT_TRUE(WriteFile(dir.File("a.bin"), original));
    ASSERT_TRUE(WriteFile(dir.File("b.bin"), modified));
    ASSERT_TRUE(WriteFile(dir.File("notes.txt"), "說明\n"));
    ASSERT_TRUE(WriteFile(dir.File("stub.exe"), MakeStub()));
    for (const char* format : {"", "ips", "bps"}) {
        SCOPED_TRACE(format);
        std::vector<std::string> args = {"build", "--stub", dir.File("stub.exe"), "--original", dir.File("a.bin"),
                                         "--modified", dir.File("b.bin"), "--description", dir.File("notes.txt"),
                                         "-o", dir.File("v.exe")};
        if (*format) args.insert(args.end(), {"--format", format});
        const ToolRun built = RunTool(args);
        ASSERT_EQ(built.exitCode, 0) << built.err;
        const ToolRun shown = RunTool({"inspect", dir.File("v.exe")});
        EXPECT_EQ(ReportField(shown.out, "made for").compare(0, 12, "20000 bytes,"), 0) << shown.out;
        EXPECT_EQ(ReadFile(dir.File("v.exe")).find("BPS1") != std::string::npos, std::string(format) == "bps");
        const struct {
            const char* name;
            std::string target;
            const char* says;
        } rows[] = {{"the original", original, "完成!"}, {"the modified file", modified, "已經修補過了"}};
        for (const auto& row : rows) {
            SCOPED_TRACE(row.name);
            ASSERT_TRUE(WriteFile(dir.File("t.bin"), row.target));
            const ToolRun run = RunTool({"apply", dir.File("v.exe"), dir.File("t.bin")});
            EXPECT_EQ(run.exitCode, 0) << run.err;
            EXPECT_NE(run.out.find(row.says), std::string::npos) << run.out;
            EXPECT_TRUE(ReadFile(dir.File("t.bin")) == modified);
        }
    }
    // A modified file past 16 MiB: build chooses BPS by itself.
    std::string large;
    while (large.size() < 0x1000100) large += original;
    ASSERT_TRUE(WriteFile(dir.File("large.bin"), large));
    const ToolRun chosen = RunTool({"build", "--stub", dir.File("stub.exe"), "--original", dir.File("a.bin"),
                                    "--modified", dir.File("large.bin"), "--description", dir.File("notes.txt"), "-o",
                                    dir.File("large.exe")});
    ASSERT_EQ(chosen.exitCode, 0) << chosen.err;
    const std::string patcher = ReadFile(dir.File("large.exe"));
    EXPECT_NE(patcher.find("BPS1"), std::string::npos);
    EXPECT_LT(patcher.size(), MakeStub().size() + 200);
    const ToolRun both = RunTool({"build", "--stub", dir.File("stub.exe"), "--patch", dir.File("notes.txt"),
                                  "--original", dir.File("a.bin"), "--modified", dir.File("b.bin"), "--description",
                                  dir.File("notes.txt"), "-o", dir.File("w.exe")});
    EXPECT_EQ(both.exitCode, 2) << both.err;
    const ToolRun patched = RunTool({"build", "--stub", dir.File("stub.exe"), "--original", dir.File("b.bin"),
                                     "--modified", dir.File("b.bin"), "--description", dir.File("notes.txt"), "-o",
                                     dir.File("w.exe")});
    EXPECT_EQ(patched.exitCode, 1);
    EXPECT_NE(patched.err.find("this is the patched file"), std::string::npos) << patched.err;
}

// Every option of every command's --help is in the publisher's guide, in
// both languages (the guide is the only manual in the archives).
TEST(PublisherGuide, NamesEveryOptionOfTheHelp) {
    std::ifstream file(std::string(TESSEL_SOURCE_DIR) + "/res/publisher-guide.txt", std::ios::binary);
    std::stringstream read;
    read << file.rdbuf();
    const std::string guide = read.str();
    const size_t chinese = guide.find("Tessel @VERSION@：");
    ASSERT_NE(chinese, std::string::npos);
    for (const char* help : {kBuildHelp, kCreateHelp, kInspectHelp, kApplyHelp}) {
        std::istringstream lines(help);
        for (std::string line; std::getline(lines, line);) {
            const size_t dashes = line.find("--");
            if (line.compare(0, 2, "  ") != 0 || dashes == std::string::npos || dashes > 8) continue;
            const std::string option = line.substr(dashes, line.find_first_of(" ,=", dashes) - dashes);
            SCOPED_TRACE(option);
            EXPECT_NE(guide.find(option), std::string::npos);
            EXPECT_NE(guide.find(option, chinese), std::string::npos);
        }
    }
    EXPECT_EQ(guide.find("936 (Simplified Chinese, the default)"), std::string::npos);
}

}  // namespace
