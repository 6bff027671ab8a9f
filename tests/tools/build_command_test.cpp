// tessel-pack build, run in-process: round trips through inspect, payload
// replacement, refusals with their exit codes and messages, warnings.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

#include <filesystem>

#include "../patch/bps_reference.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "tool_test_support.h"
#include "tools/tessel_pack/embedded_stub.h"
#include "tools/tessel_pack/sha256.h"

using namespace tooltest;

namespace {

const std::string kSourceDir = TESSEL_SOURCE_DIR;

std::string Hex6(uint32_t v) {
    char text[16];
    snprintf(text, sizeof text, "0x%06X", v);
    return text;
}

// What inspect should report, worked out from the records themselves rather
// than from the scanner the tool uses.
struct Expected {
    uint32_t records = 0, data = 0, run = 0;
    uint64_t dataBytes = 0, runBytes = 0;
    bool anyWrite = false;
    uint32_t lowest = 0, highestEnd = 0;
};

Expected Summarise(const std::vector<Record>& records) {
    Expected e;
    for (const Record& r : records) {
        ++e.records;
        const uint32_t length = r.data.empty() ? r.runLength : static_cast<uint32_t>(r.data.size());
        if (r.data.empty()) {
            ++e.run;
            e.runBytes += r.runLength;
        } else {
            ++e.data;
            e.dataBytes += r.data.size();
        }
        if (length == 0) continue;
        if (!e.anyWrite || r.offset < e.lowest) e.lowest = r.offset;
        if (r.offset + length > e.highestEnd) e.highestEnd = r.offset + length;
        e.anyWrite = true;
    }
    return e;
}

struct RoundTrip {
    const char* name;
    std::string description;  // UTF-8 as the author wrote it
    uint32_t codePage;
    std::vector<Record> records;
    bool withEof;
    int64_t truncate;
    std::string stored;        // the description bytes the container must hold
    std::string shown;         // what inspect must print back (UTF-8)
    bool viaStdin;
};

// A BPS patch: checked as the program checks it, its facts and metadata
// shown; --source is optional and, when given, must be the patch's source.
TEST(BuildCommand, BpsPatchIsCheckedAndItsSourceMustMatch) {
    ScratchDir dir;
    std::string source(5000, '\0');
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>(i * 13 + i / 77);
    std::string result;
    const std::string patch = bpsref::LongPatch(source, &result);
    std::string damaged = patch;
    damaged[damaged.size() - 13] ^= 1;  // the result's CRC-32: the patch's own no longer matches
    ASSERT_TRUE(WriteFile(dir.File("stub.exe"), MakeStub()));
    ASSERT_TRUE(WriteFile(dir.File("p.bps"), patch));
    ASSERT_TRUE(WriteFile(dir.File("damaged.bps"), damaged));
    ASSERT_TRUE(WriteFile(dir.File("source.bin"), source));
    std::string other = source;
    other[100] ^= 0x20;
    ASSERT_TRUE(WriteFile(dir.File("other.bin"), other));
    ASSERT_TRUE(WriteFile(dir.File("result.bin"), result));
    ASSERT_TRUE(WriteFile(dir.File("notes.txt"), "n"));
    const struct {
        const char* name;
        const char* patch;
        const char* source;  // --source, or null
        int exitCode;
        std::string err;
    } cases[] = {
        {"without --source", "p.bps", nullptr, 0, ""},
        {"with its source", "p.bps", "source.bin", 0, ""},
        {"with another file", "p.bps", "other.bin", 1,
         dir.File("other.bin") + ": not the file the BPS patch was made for: it needs 5000 bytes, CRC-32 0x"},
        {"with its result", "p.bps", "result.bin", 1, dir.File("result.bin") + ": this is the patched file"},
        {"damaged", "damaged.bps", nullptr, 1,
         dir.File("damaged.bps") + ": a BPS patch: at block offset 0x" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"build", "--stub", dir.File("stub.exe"), "--patch", dir.File(c.patch),
                                         "--description", dir.File("notes.txt"), "-o", dir.File("out.exe")};
        if (c.source) args.insert(args.end(), {"--source", dir.File(c.source)});
        std::filesystem::remove(dir.File("out.exe"));
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        const std::string start = c.err.empty() ? "" : "tessel-pack build: " + c.err;
        if (c.err.empty()) EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.err.compare(0, start.size(), start), 0) << run.err;
        EXPECT_EQ(Exists(dir.File("out.exe")), c.exitCode == 0);
        if (c.exitCode != 0) continue;
        const ToolRun shown = RunTool({"inspect", dir.File("out.exe")});
        EXPECT_EQ(shown.exitCode, 0) << shown.err;
        EXPECT_EQ(ReportField(shown.out, "format"), "BPS");
        char crc[16];
        snprintf(crc, sizeof crc, "0x%08X", bpsref::Crc32(result));
        EXPECT_EQ(ReportField(shown.out, "result"), std::to_string(result.size()) + " bytes, CRC-32 " + crc);
        EXPECT_NE(shown.out.find("--- metadata ---\n<patch>long</patch>\n"), std::string::npos) << shown.out;
    }
}

TEST(BuildCommand, BuildThenInspectReportsExactlyTheInputs) {
    const std::vector<Record> demo = {
        DataRecord(0x00018E, "\xEB\xFE"),
        DataRecord(0x00F9DB, std::string(57, 'b')),
        DataRecord(0x1BFFB8, std::string(72, 'c')),
    };
    const RoundTrip cases[] = {
        {"three data records, 936", "中文說明\r\n第二行", 936, demo, false, -1,
         "\xD6\xD0\xCE\xC4\xD5\x66\xC3\xF7\r\n\xB5\xDA\xB6\xFE\xD0\xD0", "中文說明\r\n第二行", false},
        {"runs and data, 950, LF lines", "補丁說明\n第二行\n", 950,
         {RunRecord(0x10, 3, 0xFF), DataRecord(0x8, "xy"), RunRecord(0x40, 0, 0x11), RunRecord(0x2000, 0x100, 0)},
         false, -1, "\xB8\xC9\xA4\x42\xBB\xA1\xA9\xFA\r\n\xB2\xC4\xA4\x47\xA6\xE6\r\n",
         "補丁說明\r\n第二行\r\n", false},
        {"1252, end marker", "Ünïcödé café", 1252, {DataRecord(0x100, "z")}, true, -1,
         "\xDCn\xEF" "c\xF6" "d\xE9 caf\xE9", "Ünïcödé café", false},
        {"empty description, no records", "", 936, {}, false, -1, "", "", false},
        {"truncation, BOM", "\xEF\xBB\xBFok", 936, {DataRecord(0x10, "abc")}, true, 0x800, "ok", "ok", false},
        {"description from standard input", "從標準輸入\n", 936, {DataRecord(0, "q")}, false, -1,
         "\x8F\xC4\x98\xCB\x9C\xCA\xDD\x94\xC8\xEB\r\n", "從標準輸入\r\n", true},
    };
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        const std::string stub = MakeStub();
        const std::string patch = MakePatch(c.records, c.withEof, c.truncate);
        ASSERT_TRUE(WriteFile(dir.File("stub.exe"), stub));
        ASSERT_TRUE(WriteFile(dir.File("p.ips"), patch));
        ASSERT_TRUE(WriteFile(dir.File("notes.txt"), c.description));
        const ToolRun built = RunTool({"build", "--stub", dir.File("stub.exe"), "--patch", dir.File("p.ips"),
                                       "--description", c.viaStdin ? "-" : dir.File("notes.txt"),
                                       "--codepage", std::to_string(c.codePage), "-o", dir.File("out.exe")},
                                      c.viaStdin ? c.description : std::string());
        ASSERT_EQ(built.exitCode, 0) << built.err;
        EXPECT_EQ(ReadFile(dir.File("out.exe")), Patcher(stub, Container(c.stored, patch)));
        EXPECT_NE(built.out.find("\n  SHA-256      " + Sha256Hex(ReadFile(dir.File("out.exe"))) + "\n"),
                  std::string::npos)
            << built.out;

        const ToolRun shown = RunTool({"inspect", dir.File("out.exe"), "--codepage", std::to_string(c.codePage)});
        ASSERT_EQ(shown.exitCode, 0) << shown.err;
        EXPECT_EQ(shown.err, "");
        const Expected e = Summarise(c.records);
        const size_t zeros = (8 - (stub.size() + Container(c.stored, patch).size()) % 8) % 8;
        EXPECT_EQ(ReportField(shown.out, "executable"),
                  std::to_string(stub.size()) + " bytes" +
                      (zeros ? " + " + std::to_string(zeros) + " zero bytes (the payload ends 8-byte aligned)" : ""));
        EXPECT_EQ(ReportField(shown.out, "description block"),
                  "L2 = " + std::to_string(c.stored.size() + 4) + ": " + std::to_string(c.stored.size()) +
                      " bytes of text");
        EXPECT_EQ(ReportField(shown.out, "patch block"),
                  "L1 = " + std::to_string(patch.size() + 4) + ": " + std::to_string(patch.size()) +
                      " bytes of patch");
        EXPECT_EQ(ReportField(shown.out, "records"), std::to_string(e.records) + " (" + std::to_string(e.data) +
                                                         " data, " + std::to_string(e.run) + " run)");
        EXPECT_EQ(ReportField(shown.out, "data bytes"), std::to_string(e.dataBytes));
        EXPECT_EQ(ReportField(shown.out, "run bytes"), std::to_string(e.runBytes));
        if (e.anyWrite) {
            EXPECT_EQ(ReportField(shown.out, "lowest offset"), Hex6(e.lowest));
            EXPECT_EQ(ReportField(shown.out, "highest offset"), Hex6(e.highestEnd - 1));
        } else {
            EXPECT_EQ(ReportField(shown.out, "lowest offset"), "none (no record writes a byte)");
        }
        if (c.truncate >= 0) {
            EXPECT_EQ(ReportField(shown.out, "target size"),
                      "exactly " + std::to_string(c.truncate) + " bytes (" + Hex6(c.truncate) +
                          "), set by the truncation size");
            EXPECT_EQ(ReportField(shown.out, "truncation"),
                      std::to_string(c.truncate) + " bytes (" + Hex6(c.truncate) + ")");
        } else {
            EXPECT_EQ(ReportField(shown.out, "minimum target size"),
                      std::to_string(e.highestEnd) + " bytes (" + Hex6(e.highestEnd) + ")");
            EXPECT_EQ(ReportField(shown.out, "truncation"), "none");
        }
        EXPECT_EQ(ReportField(shown.out, "end marker"),
                  c.withEof ? "\"EOF\" at block offset 0x" +
                                  [&] { char t[16]; snprintf(t, sizeof t, "%X", static_cast<unsigned>(patch.size() - (c.truncate >= 0 ? 6 : 3))); return std::string(t); }()
                            : std::string("none (records run to the end of the block)"));
        EXPECT_EQ(ReportField(shown.out, "verdict").compare(0, 6, "valid:"), 0) << shown.out;
        EXPECT_EQ(ReportDescription(shown.out), c.shown);
    }
}

TEST(BuildCommand, TheDemoPayloadHasTheCarriedShape) {
    ScratchDir dir;
    ASSERT_TRUE(WriteFile(dir.File("stub.exe"), MakeStub()));
    const ToolRun built = RunTool({"build", "--stub", dir.File("stub.exe"), "--patch", kSourceDir + "/res/demo.ips",
                                   "--description", kSourceDir + "/res/demo-description.txt", "--codepage",
                                   "936", "-o", dir.File("tessel.exe")});
    ASSERT_EQ(built.exitCode, 0) << built.err;
    EXPECT_EQ(ReadFile(dir.File("tessel.exe")).size(), (MakeStub().size() + 390 + 7) / 8 * 8);
    const ToolRun shown = RunTool({"inspect", dir.File("tessel.exe")});
    EXPECT_EQ(ReportField(shown.out, "description block"), "L2 = 235: 231 bytes of text");
    EXPECT_EQ(ReportField(shown.out, "patch block"), "L1 = 155: 151 bytes of patch");
    EXPECT_EQ(ReportField(shown.out, "records"), "3 (3 data, 0 run)");
    EXPECT_EQ(ReportField(shown.out, "data bytes"), "131");
    EXPECT_EQ(ReportField(shown.out, "minimum target size"), "1835008 bytes (0x1C0000)");
    EXPECT_EQ(ReportDescription(shown.out), ReadFile(kSourceDir + "/res/demo-description.txt"));
}

std::vector<std::string> BuildArgs(const ScratchDir& dir, const std::string& stub, const std::string& out) {
    // The older form, bytes in one code page: what these cases compare.
    return {"build", "--stub", stub, "--patch", dir.File("p.ips"), "--description", dir.File("notes.txt"),
            "--codepage", "936", "-o", out};
}

TEST(BuildCommand, RebuildingAPatcherReplacesItsPayloadNeverStacks) {
    ScratchDir dir;
    const std::string stub = MakeStub(0x800);
    ASSERT_TRUE(WriteFile(dir.File("stub.exe"), stub));
    const struct {
        std::string description, stored;
        std::string patch;
    } payloads[] = {
        {"first", "first", MakePatch({DataRecord(1, "a")})},
        {"第二個\n", "\xB5\xDA\xB6\xFE\x82\x80\r\n", MakePatch({RunRecord(2, 5, 0xEE), DataRecord(9, "bbbb")})},
        {"", "", MakePatch({DataRecord(0x454F45, "xyz")}, true, 10)},
    };
    std::string from = dir.File("stub.exe");
    uint64_t previousPayload = 0;
    for (const auto& p : payloads) {
        SCOPED_TRACE(p.description);
        ASSERT_TRUE(WriteFile(dir.File("p.ips"), p.patch));
        ASSERT_TRUE(WriteFile(dir.File("notes.txt"), p.description));
        // Built onto the previous patcher, and the last one in place (OUT = STUB).
        const std::string out = &p == &payloads[2] ? from : dir.File("patcher" + std::to_string(&p - payloads) + ".exe");
        const ToolRun run = RunTool(BuildArgs(dir, from, out));
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(ReadFile(out), Patcher(stub, Container(p.stored, p.patch)));
        if (previousPayload)
            EXPECT_NE(run.out.find("(Tessel test; its old " + std::to_string(previousPayload) + "-byte payload left out)"),
                      std::string::npos)
                << run.out;
        previousPayload = Patcher(stub, Container(p.stored, p.patch)).size() - stub.size();
        from = out;
    }
    // Only the inputs and the outputs: no temporary file left beside them.
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"notes.txt", "p.ips", "patcher0.exe", "patcher1.exe",
                                                       "stub.exe"}));
}

// In the Windows test build the real program is at hand: building from the
// shipped tessel.exe must give exactly what building from the payload-free
// stub gives, ending in the new payload.
TEST(BuildCommand, TheShippedPatcherWorksAsAStub) {
    const std::string stubPath = std::string(TESSEL_BINARY_DIR) + "/tessel-stub.exe";
    const std::string shipped = std::string(TESSEL_BINARY_DIR) + "/tessel.exe";
    if (!Exists(stubPath) || !Exists(shipped)) GTEST_SKIP() << "the program is not built in this flavour";
    ScratchDir dir;
    const std::string patch = MakePatch({DataRecord(0x20, "new")});
    ASSERT_TRUE(WriteFile(dir.File("p.ips"), patch));
    ASSERT_TRUE(WriteFile(dir.File("notes.txt"), "新的說明"));
    const ToolRun run = RunTool(BuildArgs(dir, shipped, dir.File("again.exe")));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const ToolRun fromStub = RunTool(BuildArgs(dir, stubPath, dir.File("fresh.exe")));
    ASSERT_EQ(fromStub.exitCode, 0) << fromStub.err;
    EXPECT_EQ(ReadFile(dir.File("again.exe")), ReadFile(dir.File("fresh.exe")));
    const std::string payload = Container("\xD0\xC2\xB5\xC4\xD5\x66\xC3\xF7", patch);
    EXPECT_EQ(ReadFile(dir.File("again.exe")).substr(ReadFile(dir.File("again.exe")).size() - payload.size()), payload);
}

// Every proper prefix of a three-record patch: a cut at a record boundary is
// itself a valid patch; any other cut is refused, naming the record that is
// cut and where it begins.
TEST(BuildCommand, RefusesAPatchCutAtAnyPointInsideARecord) {
    const std::string full = MakePatch({DataRecord(0x0102, "DATA!"), RunRecord(0x030405, 0x0607, 0x08),
                                        DataRecord(0x0A0B0C, "xy")});
    // Record starts: 5, 15, 23; ends at 30.
    const uint32_t starts[] = {5, 15, 23, 30};
    ScratchDir dir;
    ASSERT_TRUE(WriteFile(dir.File("stub.exe"), MakeStub()));
    ASSERT_TRUE(WriteFile(dir.File("notes.txt"), "n"));
    for (uint32_t length = 0; length < full.size(); ++length) {
        SCOPED_TRACE("cut at " + std::to_string(length));
        ASSERT_TRUE(WriteFile(dir.File("p.ips"), full.substr(0, length)));
        const ToolRun run = RunTool(BuildArgs(dir, dir.File("stub.exe"), dir.File("out.exe")));
        bool boundary = false;
        for (uint32_t s : starts) boundary = boundary || s == length;
        if (boundary) {
            EXPECT_EQ(run.exitCode, 0) << run.err;
            std::remove(dir.File("out.exe").c_str());
            continue;
        }
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_FALSE(Exists(dir.File("out.exe")));
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.compare(0, 20 + dir.File("p.ips").size(), "tessel-pack build: " + dir.File("p.ips") + ":"), 0)
            << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        if (length < 5) {
            EXPECT_NE(run.err.find("not an IPS patch"), std::string::npos) << run.err;
            continue;
        }
        uint32_t record = 1;
        while (record < 3 && length >= starts[record]) ++record;
        char where[64];
        snprintf(where, sizeof where, "record %u at block offset 0x%X", record, starts[record - 1]);
        EXPECT_NE(run.err.find(where), std::string::npos) << run.err;
        const uint32_t into = length - starts[record - 1];
        const char* what = into < 3 ? "cut short in its offset"
                           : into < 5 ? "cut short in its size"
                           : record == 2 ? (into < 7 ? "run record cut short in its run length"
                                                     : "run record cut short in its value")
                                         : "cut short in its data";
        EXPECT_NE(run.err.find(what), std::string::npos) << run.err;
    }
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"notes.txt", "p.ips", "stub.exe"}));
}

struct Refusal {
    const char* name;
    std::string patch;
    std::string description;
    std::vector<std::string> extra;  // more arguments
    int exitCode;
    std::string message;  // the whole stderr line after "tessel-pack build: "
};

TEST(BuildCommand, RefusesBadInputWithExitCodeAndOneLineMessage) {
    ScratchDir dir;
    const std::string good = MakePatch({DataRecord(0x10, "ok")});
    const std::string p = dir.File("p.ips"), n = dir.File("notes.txt");
    const Refusal cases[] = {
        {"no header", "PATCX" + good.substr(5), "n", {}, 1, p + ": not an IPS patch: it does not begin with \"PATCH\""},
        {"empty patch", "", "n", {}, 1, p + ": not an IPS patch: the file is empty"},
        {"description over 1 MiB", good, std::string(1024 * 1024 + 1, 'n'), {}, 1,
         n + ": 1048577 bytes: a description may hold at most 1 MiB (the window would take minutes to show it)"},
        {"EOF and one byte", good + "EOF" + "\x01", "n", {}, 1,
         p + ": record 2 at block offset 0xC (target offset 0x454F46): record cut short in its size (1 byte left "
             "at block offset 0xF); the \"EOF\" at block offset 0xC is read as a record because more than 3 bytes "
             "follow it"},
        {"EOF and four bytes", good + "EOF" + std::string("\0\x05zz", 4), "n", {}, 1,
         p + ": record 2 at block offset 0xC (target offset 0x454F46): record cut short in its data (needs 5 "
             "bytes from block offset 0x11, 2 left); the \"EOF\" at block offset 0xC is read as a record because "
             "more than 3 bytes follow it"},
        {"not in 936", good, "fine\nstraße", {}, 1,
         n + ": line 2: U+00DF 'ß' cannot be written in code page 936"},
        {"not in 1252", good, "a\n\n\n中", {"--codepage", "1252"}, 1,
         n + ": line 4: U+4E2D '中' cannot be written in code page 1252"},
        {"not in 950", good, "简", {"--codepage", "950"}, 1,
         n + ": line 1: U+7B80 '简' cannot be written in code page 950"},
        {"emoji", good, "ok 😀", {}, 1, n + ": line 1: U+1F600 '😀' cannot be written in code page 936"},
        {"not UTF-8", good, "caf\xE9", {}, 1, n + ": line 1: not UTF-8 text (byte 0xE9 at offset 3)"},
        {"UTF-16 cut short", good, std::string("\xFF\xFEh\0i", 5), {}, 1,
         n + ": line 1: not UTF-16 text (a lone surrogate or a cut unit at offset 4)"},
        {"GBK", good, "\xB2\xB9\xB6\xA1", {}, 1,
         n + ": line 1: not UTF-8 text (byte 0xB2 at offset 0); it looks like GBK/Big5 text: save it as UTF-8"},
        {"NUL", good, std::string("h\0i\0", 4), {}, 1,
         n + ": line 1: U+0000 (a NUL character) cannot be shown by the program; save the description as UTF-8"},
        {"missing stub", good, "n", {"--stub", dir.File("none.exe")}, 3, dir.File("none.exe") + ": no such file or directory"},
        {"directory as description", good, "n", {"--description", dir.Path()}, 3, dir.Path() + ": is a directory"},
        {"stub not an executable", good, "n", {"--stub", n}, 1, n + ": not a Windows executable (no MZ header)"},
        {"stub not a Tessel program", good, "n", {"--stub", dir.File("other.exe")}, 1,
         dir.File("other.exe") + ": not a Tessel program (it has no Tessel stub marker; give tessel-stub.exe or a "
                                 "patcher made by tessel-pack)"},
        {"stub a console program", good, "n", {"--stub", dir.File("console.exe")}, 1,
         dir.File("console.exe") + ": not a Tessel program (a Windows console program; give tessel-stub.exe or a "
                                   "patcher made by tessel-pack)"},
        {"BPS patch cut short", "BPS1" + good, "n", {}, 1,
         p + ": a BPS patch: at block offset 0x4: too short for its sizes and its three CRC-32s"},
        {"ZIP archive", "PK\x03\x04" + good, "n", {}, 1,
         p + ": a ZIP archive: Tessel carries IPS and BPS patches (take the .ips or .bps out of it first)"},
        {"a program as the patch", MakeStub(), "n", {}, 1, p + ": a Windows program: Tessel carries IPS and BPS patches"},
        {"output is the patch", good, "n", {"-o", p}, 2,
         "-o " + p + " is the patch (--patch): the patcher would overwrite it; write it to another file (see "
                     "'tessel-pack build --help')"},
        {"output is the description", good, "n", {"-o", dir.Path() + "/./notes.txt"}, 2,
         "-o " + dir.Path() + "/./notes.txt is the description (--description): the patcher would overwrite it; "
                              "write it to another file (see 'tessel-pack build --help')"},
        {"bad code page", good, "n", {"--codepage", "abc"}, 2,
         "--codepage needs a code page number, not 'abc' (see 'tessel-pack build --help')"},
        {"EBCDIC code page", good, "n", {"--codepage", "37"}, 2,
         "code page 37 is not an ANSI code page this tool can convert to (see 'tessel-pack build --help')"},
        {"unknown option", good, "n", {"--force"}, 2, "unknown option --force (see 'tessel-pack build --help')"},
        {"stray argument", good, "n", {"extra"}, 2, "unexpected argument 'extra' (see 'tessel-pack build --help')"},
        {"--cert without --key", good, "n", {"--cert", n}, 2, "--cert and --key go together (see 'tessel-pack build --help')"},
        {"--sign-with and --cert", good, "n", {"--sign-with", n, "--cert", n, "--key", n}, 2,
         "--sign-with names a PFX holding certificate and key: give it, or --cert and --key (see 'tessel-pack build "
         "--help')"},
        {"--timestamp without signing", good, "n", {"--timestamp", "http://t"}, 2,
         "--timestamp is for signing: give --sign-with PFX (or --cert and --key) (see 'tessel-pack build --help')"},
        {"--publisher of two lines", good, "n", {"--publisher", "a\nb"}, 2,
         "--publisher is one line of UTF-8 text (see 'tessel-pack build --help')"},
        {"--version not UTF-8", good, "n", {"--version", "1.\xFF"}, 2,
         "--version is one line of UTF-8 text (see 'tessel-pack build --help')"},
        {"icon not an icon", good, "n", {"--icon", n}, 1, n + ": not an icon file (.ico)"},
        {"icon a PNG", good, "n", {"--icon", dir.File("logo.png")}, 1,
         dir.File("logo.png") + ": a PNG image: give an .ico with 16, 32 and 48-pixel images (for example: convert "
                                "logo.png -define icon:auto-resize=48,32,16 logo.ico)"},
        {"icon cut short", good, "n", {"--icon", dir.File("cut.ico")}, 1,
         dir.File("cut.ico") + ": a damaged icon file (image 1 lies outside it)"},
        {"icon missing", good, "n", {"--icon", dir.File("none.ico")}, 3,
         dir.File("none.ico") + ": no such file or directory"},
        {"icon for a stub without resources", good, "n", {"--icon", dir.File("good.ico")}, 1,
         dir.File("stub.exe") + ": --icon cannot be used: it has no resources"},
        {"publisher for a stub without resources", good, "n", {"--publisher", "G"}, 1,
         dir.File("stub.exe") + ": --publisher and --version cannot be used: it has no resources"},
    };
    ASSERT_TRUE(WriteFile(dir.File("logo.png"), std::string("\x89PNG\r\n\x1A\n", 8) + std::string(40, '\0')));
    ASSERT_TRUE(WriteFile(dir.File("good.ico"), MakeIcon(0xFF00FF)));
    ASSERT_TRUE(WriteFile(dir.File("cut.ico"), MakeIcon(0xFF00FF).substr(0, 100)));
    const std::string old = "an older patcher that must survive";
    std::string other = MakeStub(), console = MakeStub();
    other.replace(0x200, 6, "OTHER-");
    console[0x58 + 68] = 3;
    ASSERT_TRUE(WriteFile(dir.File("other.exe"), other));
    ASSERT_TRUE(WriteFile(dir.File("console.exe"), console));
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteFile(dir.File("stub.exe"), MakeStub()));
        ASSERT_TRUE(WriteFile(p, c.patch));
        ASSERT_TRUE(WriteFile(n, c.description));
        ASSERT_TRUE(WriteFile(dir.File("out.exe"), old));
        std::vector<std::string> args = {"build"};
        auto give = [&](const char* option, const std::string& value) {
            for (size_t i = 0; i < c.extra.size(); ++i)
                if (c.extra[i] == option) return;
            args.push_back(option);
            args.push_back(value);
        };
        give("--stub", dir.File("stub.exe"));
        give("--patch", p);
        give("--description", n);
        give("-o", dir.File("out.exe"));
        give("--codepage", "936");
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.err, "tessel-pack build: " + c.message + "\n");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(ReadFile(dir.File("out.exe")), old);
        EXPECT_EQ(ReadFile(p), c.patch);
        EXPECT_EQ(ReadFile(n), c.description);
    }
    EXPECT_EQ(dir.Entries(),
              (std::vector<std::string>{"console.exe", "cut.ico", "good.ico", "logo.png", "notes.txt", "other.exe",
                                        "out.exe", "p.ips", "stub.exe"}));
}

void SetPath(const std::string& value) {
#ifdef _WIN32
    _putenv_s("PATH", value.c_str());
#else
    setenv("PATH", value.c_str(), 1);
#endif
}

// Without osslsigncode (here: no PATH to find it on) signing is refused
// with a hint, and nothing is written, not even a temporary file.
TEST(BuildCommand, SigningWithoutOsslsigncodeWritesNothing) {
    ScratchDir dir;
    ASSERT_TRUE(WriteFile(dir.File("stub.exe"), MakeStub()));
    ASSERT_TRUE(WriteFile(dir.File("p.ips"), MakePatch({DataRecord(1, "a")})));
    ASSERT_TRUE(WriteFile(dir.File("notes.txt"), "n"));
    const char* path = getenv("PATH");
    const std::string saved = path ? path : "";
    SetPath(dir.Path());
    const ToolRun run = RunTool({"build", "--stub", dir.File("stub.exe"), "--patch", dir.File("p.ips"), "--description",
                                 dir.File("notes.txt"), "--sign-with", dir.File("key.pfx"), "-o", dir.File("out.exe")});
    SetPath(saved);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.err, "tessel-pack build: " + dir.File("key.pfx") +
                           ": osslsigncode is not installed (or not on PATH): install it (Debian: apt install "
                           "osslsigncode) or build without signing and sign with signtool\n");
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"notes.txt", "p.ips", "stub.exe"}));
}

TEST(BuildCommand, MissingOptionsAreUsageErrors) {
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"build"}, "missing --patch"},
        {{"build", "--stub", "s", "--patch", "p"}, "missing --description"},
        {{"build", "--stub", "s", "--patch", "p", "--description", "d"}, "missing --output"},
        {{"build", "--stub"}, "option --stub needs a value"},
        // The test program carries no stub of its own.
        {{"build", "--patch", "p", "--description", "d", "-o", "x"},
         "missing --stub: this tessel-pack carries no stub of its own (give --stub tessel-stub.exe)"},
    };
    for (const auto& c : cases) {
        const ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.err, "tessel-pack build: " + c.message + " (see 'tessel-pack build --help')\n");
    }
}

// A tool with a stub appended: build needs no --stub, --version names it, and
// a damaged trailer is reported rather than taken for no stub.
TEST(BuildCommand, UsesTheStubEmbeddedInTheToolWhenNoneIsGiven) {
    ScratchDir dir;
    const std::string stub = MakeStub(0x800);
    const std::string patch = MakePatch({DataRecord(0x10, "ok")});
    ASSERT_TRUE(WriteFile(dir.File("tool"), EmbedStub("tool program bytes", stub)));
    ASSERT_TRUE(WriteFile(dir.File("p.ips"), patch));
    ASSERT_TRUE(WriteFile(dir.File("notes.txt"), "說明"));
    SetToolFile(dir.File("tool"));
    const std::vector<std::string> args = {"build", "--patch", dir.File("p.ips"), "--description",
                                           dir.File("notes.txt"), "--codepage", "936", "-o", dir.File("out.exe")};
    const ToolRun built = RunTool(args);
    const ToolRun version = RunTool({"--version"});
    std::string damagedTool = EmbedStub("tool program bytes", stub);
    damagedTool.erase(18, 1);  // the stub's "M": the trailer's size now reaches one byte into the tool
    ASSERT_TRUE(WriteFile(dir.File("tool"), damagedTool));
    const ToolRun damaged = RunTool(args);
    SetToolFile("");

    ASSERT_EQ(built.exitCode, 0) << built.err;
    EXPECT_EQ(ReadFile(dir.File("out.exe")), Patcher(stub, Container("\xD5\x66\xC3\xF7", patch)));
    EXPECT_NE(built.out.find("\n  stub         2560 bytes built into tessel-pack (Tessel test)\n"), std::string::npos)
        << built.out;
    EXPECT_EQ(version.out, "tessel-pack 1.0.0\nstub: Tessel test stub for 32-bit Windows, 2560 bytes, SHA-256 " +
                               Sha256Hex(stub) + "\n");
    EXPECT_EQ(damaged.exitCode, 3);
    EXPECT_EQ(damaged.err, "tessel-pack build: missing --stub, and its embedded stub is damaged: not a Windows "
                           "executable (no MZ header)\n");
}

TEST(Sha256, KnownDigests) {
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Two blocks of padding (56 bytes), and more than one block of data.
    EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Sha256Hex(std::string(1000, 'a')), "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3");
}

TEST(BuildCommand, AnOutputThatCannotBeWrittenLeavesNothingBehind) {
    ScratchDir dir;
    ASSERT_TRUE(WriteFile(dir.File("stub.exe"), MakeStub()));
    ASSERT_TRUE(WriteFile(dir.File("p.ips"), MakePatch({DataRecord(1, "x")})));
    ASSERT_TRUE(WriteFile(dir.File("notes.txt"), "n"));
    const struct {
        const char* name;
        std::string out;
        const char* reason;  // null: differs between systems, only the name is checked
    } cases[] = {
        {"missing folder", dir.File("no-such-folder") + "/out.exe", "no such file or directory"},
        {"a directory", dir.Path(), "is a directory"},
        {"below a file", dir.File("notes.txt") + "/out.exe", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ToolRun run = RunTool(BuildArgs(dir, dir.File("stub.exe"), c.out));
        EXPECT_EQ(run.exitCode, 3);
        const std::string head = "tessel-pack build: " + c.out + ": ";
        EXPECT_EQ(run.err.compare(0, head.size(), head), 0) << run.err;
        if (c.reason) EXPECT_EQ(run.err, head + c.reason + "\n");
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
    }
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"notes.txt", "p.ips", "stub.exe"}));
}

#ifndef _WIN32
// The output is built in a new file nobody could have named beforehand: a
// link planted at the name the output was once built under (OUT.<pid>.tmp,
// the pid being this process's, where the commands run) points at a file
// that stays as it was, and OUT ends a file of its own.
TEST(BuildCommand, AnOutputNeverGoesThroughAPlantedLink) {
    ScratchDir dir;
    ASSERT_TRUE(WriteFile(dir.File("stub.exe"), MakeStub()));
    ASSERT_TRUE(WriteFile(dir.File("p.ips"), MakePatch({DataRecord(1, "x")})));
    ASSERT_TRUE(WriteFile(dir.File("notes.txt"), "n"));
    ASSERT_TRUE(WriteFile(dir.File("victim"), "the victim's own"));
    const std::string out = dir.File("out.exe");
    ASSERT_EQ(symlink(dir.File("victim").c_str(), (out + "." + std::to_string(getpid()) + ".tmp").c_str()), 0);
    const ToolRun run = RunTool(BuildArgs(dir, dir.File("stub.exe"), out));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadFile(dir.File("victim")), "the victim's own");
    struct stat info;
    ASSERT_EQ(lstat(out.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    const std::string written = ReadFile(out);
    EXPECT_EQ(written.compare(0, 2, "MZ"), 0);
    EXPECT_GT(written.size(), MakeStub().size());
}
#endif

TEST(BuildCommand, WarnsAboutPatchesOtherToolsReadDifferently) {
    const struct {
        const char* name;
        std::string patch;
        std::vector<std::string> warnings;
    } cases[] = {
        {"plain patch", MakePatch({DataRecord(1, "a")}), {}},
        {"plain end marker", MakePatch({DataRecord(1, "a")}, true), {}},
        {"record at EOF, last", MakePatch({DataRecord(1, "a"), DataRecord(0x454F46, "bb")}),
         {"record 2 at block offset 0xB writes at offset 0x454F46, whose bytes read \"EOF\": the program applies "
          "it as a record, other IPS tools take it for the end marker"}},
        {"records after it", MakePatch({DataRecord(0x454F46, "bb"), DataRecord(1, "a"), RunRecord(9, 2, 1)}),
         {"record 1 at block offset 0x5 writes at offset 0x454F46, whose bytes read \"EOF\": the program applies "
          "it as a record, other IPS tools take it for the end marker and ignore the 2 records after it"}},
        {"truncation", MakePatch({DataRecord(1, "a")}, true, 0x800),
         {"the end marker at block offset 0xB carries a truncation size: after the records the program cuts or "
          "extends the target to exactly 2048 bytes (0x000800)"}},
        {"no records", "PATCH", {"the patch has no records: it changes nothing"}},
        // Said once, and not as "changes nothing": the target is emptied.
        {"no records, truncation to 0", MakePatch({}, true, 0),
         {"the end marker at block offset 0x5 carries a truncation size: the patch has no records, and the "
          "program empties the target (cuts it to 0 bytes)"}},
    };
    ScratchDir dir;
    ASSERT_TRUE(WriteFile(dir.File("stub.exe"), MakeStub()));
    ASSERT_TRUE(WriteFile(dir.File("notes.txt"), ""));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteFile(dir.File("p.ips"), c.patch));
        const ToolRun run = RunTool(BuildArgs(dir, dir.File("stub.exe"), dir.File("out.exe")));
        EXPECT_EQ(run.exitCode, 0);
        std::string expected;
        for (const std::string& w : c.warnings)
            expected += "tessel-pack build: warning: " + dir.File("p.ips") + ": " + w + "\n";
        EXPECT_EQ(run.err, expected);
        EXPECT_EQ(ReadFile(dir.File("out.exe")), Patcher(MakeStub(), Container("", c.patch)));
    }
}

#ifdef _WIN32
// The version information and the icon of patchers made from the real stub,
// read back by Windows itself (GetFileVersionInfo, LoadImage on the file
// loaded as data), as Explorer reads them: in place, after a rebuild of the
// resource section, and re-packed from a dressed patcher.
std::string VersionValue(const std::vector<char>& info, const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
    if (!VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) || !length)
        return "<none>";
    std::string utf8(length * 4, '\0');
    utf8.resize(WideCharToMultiByte(CP_UTF8, 0, value, static_cast<int>(wcslen(value)), &utf8[0],
                                    static_cast<int>(utf8.size()), nullptr, nullptr));
    return utf8;
}

TEST(BuildCommand, VersionInformationAndIconAsWindowsReadsThem) {
    const std::string stubPath = std::string(TESSEL_BINARY_DIR) + "/tessel-stub.exe";
    if (!Exists(stubPath)) GTEST_SKIP() << "the program is not built in this flavour";
    const std::string stub = ReadFile(stubPath);
    ScratchDir dir;
    ASSERT_TRUE(WriteFile(dir.File("p.ips"), MakePatch({DataRecord(1, "a")})));
    ASSERT_TRUE(WriteFile(dir.File("notes.txt"), "n"));
    ASSERT_TRUE(WriteFile(dir.File("magenta.ico"), MakeIcon(0xFF00FF)));
    const std::string longText(100, 'x');
    const struct {
        const char* name;
        std::string from, title, publisher, version;
        bool icon;
        bool inPlace;        // the executable part keeps the stub's length
        const char* product; // what Windows reads back
        const char* company;
        const char* shownVersion;
        uint32_t high, low;  // the fixed part's file version
        uint32_t iconColour; // 0: Tessel's own (not magenta)
    } cases[] = {
        {"defaults", "stub.exe", "", "", "", false, true, "Tessel", "<none>", "1.0.0", 0x10000, 0, 0},
        {"short, in place", "stub.exe", "補丁 1.2", "漢化組", "1.2", false, true, "補丁 1.2", "漢化組", "1.2", 0x10002, 0, 0},
        {"long, rebuilt", "stub.exe", longText, longText, "v3.4.5.6-rc1", false, false, longText.c_str(),
         longText.c_str(), "v3.4.5.6-rc1", 0x30004, 0x50006, 0},
        {"icon", "stub.exe", "", "G", "7.1", true, false, "Tessel", "G", "7.1", 0x70001, 0, 0xFF00FF},
        {"re-packed from the dressed one", "3.exe", "", "", "", false, false, "Tessel", "<none>", "1.0.0", 0x10000, 0,
         0xFF00FF},
    };
    ASSERT_TRUE(WriteFile(dir.File("stub.exe"), stub));
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"build", "--stub", dir.File(c.from), "--patch", dir.File("p.ips"),
                                         "--description", dir.File("notes.txt"), "-o", dir.File(std::to_string(n++) + ".exe")};
        const std::pair<const char*, std::string> options[] = {
            {"--title", c.title}, {"--publisher", c.publisher}, {"--version", c.version}};
        for (const auto& option : options)
            if (!option.second.empty()) args.insert(args.end(), {option.first, option.second});
        if (c.icon) args.insert(args.end(), {"--icon", dir.File("magenta.ico")});
        const ToolRun run = RunTool(args);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const std::string out = args[8];
        const std::string report = RunTool({"inspect", out}).out;
        const std::string executable = ReportField(report, "executable");
        EXPECT_EQ(executable.compare(0, executable.find(' '), std::to_string(stub.size())) == 0, c.inPlace) << executable;
        EXPECT_EQ(ReportField(report, "version info"),
                  "\"" + std::string(c.product) + "\", version " + c.shownVersion +
                      (std::string(c.company) == "<none>" ? "" : std::string(", by ") + c.company));
        if (c.iconColour) EXPECT_EQ(ReportField(report, "icon"), "32 pixels");

        const std::wstring wide(out.begin(), out.end());
        std::vector<char> info(GetFileVersionInfoSizeW(wide.c_str(), nullptr));
        ASSERT_FALSE(info.empty());
        ASSERT_TRUE(GetFileVersionInfoW(wide.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
        EXPECT_EQ(VersionValue(info, L"ProductName"), c.product);
        EXPECT_EQ(VersionValue(info, L"CompanyName"), c.company);
        EXPECT_EQ(VersionValue(info, L"FileVersion"), c.shownVersion);
        EXPECT_EQ(VersionValue(info, L"ProductVersion"), c.shownVersion);
        EXPECT_EQ(VersionValue(info, L"FileDescription"), "Tessel self-applying patcher");
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        EXPECT_EQ(fixed->dwFileVersionMS, c.high);
        EXPECT_EQ(fixed->dwFileVersionLS, c.low);

        HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr);
        HICON icon = static_cast<HICON>(LoadImageW(module, L"MAINICON", IMAGE_ICON, 32, 32, 0));
        ASSERT_NE(icon, nullptr);
        HDC dc = CreateCompatibleDC(nullptr);
        BITMAPINFO bits = {};
        bits.bmiHeader = {sizeof(BITMAPINFOHEADER), 32, 32, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* pixels = nullptr;
        HBITMAP bitmap = CreateDIBSection(dc, &bits, DIB_RGB_COLORS, &pixels, nullptr, 0);
        HGDIOBJ old = SelectObject(dc, bitmap);
        DrawIconEx(dc, 0, 0, icon, 32, 32, 0, nullptr, DI_NORMAL);
        const uint32_t centre = static_cast<uint32_t*>(pixels)[16 * 32 + 16] & 0xFFFFFF;
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
        DestroyIcon(icon);
        FreeLibrary(module);
        if (c.iconColour) EXPECT_EQ(centre, c.iconColour);
        else EXPECT_NE(centre, 0xFF00FFu);
    }
}
#endif

}  // namespace
