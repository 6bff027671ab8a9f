// tessel-pack build, run in-process: round trips through inspect, payload
// replacement, refusals with their exit codes and messages, warnings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

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
        EXPECT_EQ(ReadFile(dir.File("out.exe")), stub + Container(c.stored, patch));

        const ToolRun shown = RunTool({"inspect", dir.File("out.exe"), "--codepage", std::to_string(c.codePage)});
        ASSERT_EQ(shown.exitCode, 0) << shown.err;
        EXPECT_EQ(shown.err, "");
        const Expected e = Summarise(c.records);
        EXPECT_EQ(ReportField(shown.out, "executable"), std::to_string(stub.size()) + " bytes");
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
    EXPECT_EQ(ReadFile(dir.File("tessel.exe")).size(), MakeStub().size() + 390);
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
        EXPECT_EQ(ReadFile(out), stub + Container(p.stored, p.patch));
        if (previousPayload)
            EXPECT_NE(run.out.find("(Tessel test; its old " + std::to_string(previousPayload) + "-byte payload left out)"),
                      std::string::npos)
                << run.out;
        previousPayload = Container(p.stored, p.patch).size();
        from = out;
    }
    // Only the inputs and the outputs: no temporary file left beside them.
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"notes.txt", "p.ips", "patcher0.exe", "patcher1.exe",
                                                       "stub.exe"}));
}

// In the Windows test build the real program is at hand: building from the
// shipped tessel.exe must give exactly the payload-free stub plus the new
// payload.
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
    EXPECT_EQ(ReadFile(dir.File("again.exe")),
              ReadFile(stubPath) + Container("\xD0\xC2\xB5\xC4\xD5\x66\xC3\xF7", patch));
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
    };
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
              (std::vector<std::string>{"console.exe", "notes.txt", "other.exe", "out.exe", "p.ips", "stub.exe"}));
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
    EXPECT_EQ(ReadFile(dir.File("out.exe")), stub + Container("\xD5\x66\xC3\xF7", patch));
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
        EXPECT_EQ(ReadFile(dir.File("out.exe")), MakeStub() + Container("", c.patch));
    }
}

}  // namespace
