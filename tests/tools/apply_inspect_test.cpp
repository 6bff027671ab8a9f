// tessel-pack apply and inspect, run in-process: the bytes a run leaves in
// the target against a reference reading of the format, the program's
// messages and exit codes, and what inspect says about files it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "../patch/bps_reference.h"
#include "base/byte_string.h"
#include "patch/target_check.h"
#include "platform/file_handle.h"
#include "tool_test_support.h"

using namespace tooltest;

namespace {

const std::string kDone = "完成! 總用時:";

std::string Pattern(size_t size, char seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(seed + i * 7);
    return s;
}

// The same patch through a built patcher and as a bare .ips file gives the
// bytes of the reference reading, on targets shorter and longer than it.
TEST(ApplyCommand, PatcherAndBarePatchGiveTheReferenceBytes) {
    const struct {
        const char* name;
        std::string patch;
        std::string target;
    } cases[] = {
        {"grows a short target", MakePatch({DataRecord(0x18E, "\xEB\xFE"), DataRecord(0x1BFFB8, Pattern(72, 'c'))}),
         Pattern(1000, 'a')},
        {"longer target keeps its tail", MakePatch({DataRecord(0x10, "xyz")}), Pattern(5000, 'b')},
        {"runs of 0 and 3", MakePatch({RunRecord(4, 0, 0x11), RunRecord(8, 3, 0xFF)}), Pattern(64, 'd')},
        {"overlap: later wins", MakePatch({DataRecord(2, "aaaa"), DataRecord(3, "B"), RunRecord(5, 2, 'c')}),
         Pattern(16, 'e')},
        {"gap past the end is zero", MakePatch({DataRecord(100, "end")}), Pattern(10, 'f')},
        {"end marker", MakePatch({DataRecord(1, "m")}, true), Pattern(20, 'g')},
        {"truncation shrinks", MakePatch({DataRecord(1, "m")}, true, 16), Pattern(4096, 'h')},
        {"truncation extends", MakePatch({DataRecord(1, "m")}, true, 8192), Pattern(4096, 'i')},
        {"EOF offset with records after", MakePatch({DataRecord(0x454F46, "r1"), DataRecord(0, "r2")}),
         Pattern(8, 'j')},
    };
    ScratchDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string expected = ApplyReference(c.patch, c.target);
        ASSERT_TRUE(WriteFile(dir.File("p.ips"), c.patch));
        ASSERT_TRUE(WriteFile(dir.File("patcher.exe"), MakeStub() + Container("d", c.patch)));
        for (const std::string source : {"p.ips", "patcher.exe"}) {
            ASSERT_TRUE(WriteFile(dir.File("t.bin"), c.target));
            const ToolRun run = RunTool({"apply", dir.File(source), dir.File("t.bin")});
            ASSERT_EQ(run.exitCode, 0) << source << ": " << run.err;
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(run.out.compare(0, kDone.size(), kDone), 0) << run.out;
            EXPECT_NE(run.out.find(" ms\npatched " + dir.File("t.bin") + ": "), std::string::npos) << run.out;
            EXPECT_TRUE(ReadFile(dir.File("t.bin")) == expected) << source;
        }
    }
}

// Everything in a folder but the files named: a temporary left behind shows.
std::vector<std::string> Others(const ScratchDir& dir, std::vector<std::string> known) {
    std::vector<std::string> others;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        const std::string name = entry.path().filename().string();
        if (std::find(known.begin(), known.end(), name) == known.end()) others.push_back(name);
    }
    return others;
}

// BPS through a patcher and as a bare .bps file, on a target past 16 MiB
// (beyond any IPS offset): the reference's bytes, the original as the .bak;
// a wrong source and damaged patches are refused with the target untouched
// and nothing left beside it.
TEST(ApplyCommand, BpsGivesTheReferenceBytesAndRefusesWhatItCannotApply) {
    ScratchDir dir;
    std::string original(16 * 1024 * 1024 + 5, '\0');
    for (size_t i = 0; i < original.size(); ++i) original[i] = static_cast<char>(i * 131 + i / 4099);
    std::string expected, reference;
    const std::string patch = bpsref::LongPatch(original, &expected);
    ASSERT_EQ(bpsref::Decode(patch, original, &reference), bpsref::Ok);
    ASSERT_TRUE(reference == expected);
    ASSERT_GT(expected.size(), 16u * 1024 * 1024);
    ASSERT_TRUE(WriteFile(dir.File("p.bps"), patch));
    ASSERT_TRUE(WriteFile(dir.File("patcher.exe"), MakeStub() + Container("d", patch)));
    const std::string t = dir.File("t.bin");
    for (const std::string source : {"p.bps", "patcher.exe"}) {
        SCOPED_TRACE(source);
        std::filesystem::remove(t + ".bak");
        ASSERT_TRUE(WriteFile(t, original));
        const ToolRun run = RunTool({"apply", dir.File(source), t, "--backup"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out.compare(0, kDone.size(), kDone), 0) << run.out;
        EXPECT_NE(run.out.find("patched " + t + ": 5 actions, result " + std::to_string(expected.size()) +
                               " bytes, CRC-32 0x"),
                  std::string::npos)
            << run.out;
        EXPECT_TRUE(ReadFile(t) == expected);
        EXPECT_TRUE(ReadFile(t + ".bak") == original);
        EXPECT_TRUE(Others(dir, {"p.bps", "patcher.exe", "t.bin", "t.bin.bak"}).empty());
    }

    std::string cut = patch;
    cut[patch.size() - 20] ^= 1;  // an action's byte: the patch's CRC-32 no longer matches
    ASSERT_TRUE(WriteFile(dir.File("damaged.bps"), cut));
    std::string lying = patch.substr(0, patch.size() - 12);  // a source CRC-32 that is not the file's
    bpsref::PutWord(lying, bpsref::Crc32(original) ^ 1);
    bpsref::PutWord(lying, bpsref::Crc32(expected));
    bpsref::PutWord(lying, bpsref::Crc32(lying));
    ASSERT_TRUE(WriteFile(dir.File("lying.bps"), lying));
    char crc[16];
    snprintf(crc, sizeof crc, "0x%08X", bpsref::Crc32(original));
    const std::string need = std::to_string(original.size()) + " bytes, CRC-32 ";
    const struct {
        const char* name;
        std::string patch;
        std::string target;
        int exitCode;
        std::string err;
    } cases[] = {
        {"another file", "p.bps", original.substr(1), 1,
         t + ": 此檔案不是本補丁所需的原始檔案, 無法修補! (the patch needs " + need + crc + ", found " +
             std::to_string(original.size() - 1) + " bytes, CRC-32 "},
        {"damaged download", "damaged.bps", original, 1,
         dir.File("damaged.bps") + ": 程序錯誤! (a BPS patch: at block offset " },
        {"source CRC-32 lies", "lying.bps", original, 1, t + ": 此檔案不是本補丁所需的原始檔案, 無法修補!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(t + ".bak");
        ASSERT_TRUE(WriteFile(t, c.target));
        const ToolRun run = RunTool({"apply", dir.File(c.patch), t, "--backup", "--force"});
        EXPECT_EQ(run.exitCode, c.exitCode);
        const std::string start = "tessel-pack apply: " + c.err;
        EXPECT_EQ(run.err.compare(0, start.size(), start), 0) << run.err;
        EXPECT_TRUE(ReadFile(t) == c.target);
        EXPECT_TRUE(Others(dir, {"p.bps", "patcher.exe", "t.bin", "damaged.bps", "lying.bps"}).empty());
    }
}

TEST(ApplyCommand, BackupKeepsTheOriginalWhenALaterPatchIsRefused) {
    ScratchDir dir;
    const std::string original = Pattern(300, 'k');
    ASSERT_TRUE(WriteFile(dir.File("t.bin"), original));
    ASSERT_TRUE(WriteFile(dir.File("good.ips"), MakePatch({DataRecord(0, "new")})));
    ASSERT_TRUE(WriteFile(dir.File("cut.ips"), MakePatch({DataRecord(0, "new")}).substr(0, 9)));

    ToolRun run = RunTool({"apply", dir.File("good.ips"), dir.File("t.bin"), "--backup"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadFile(dir.File("t.bin.bak")), original);
    const std::string once = ReadFile(dir.File("t.bin"));

    // Like the program: the patch is looked at before any copy is made.
    run = RunTool({"apply", dir.File("cut.ips"), dir.File("t.bin"), "--backup"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "tessel-pack apply: " + dir.File("cut.ips") + ": 程序錯誤! (record 1 at block offset 0x5 "
                       "(target offset 0x000000): record cut short in its size (1 byte left at block offset 0x8); " +
                       dir.File("t.bin") + " is unchanged)\n");
    EXPECT_EQ(ReadFile(dir.File("t.bin")), once);
    EXPECT_EQ(ReadFile(dir.File("t.bin.bak")), original);
}

TEST(ApplyCommand, RefusalsAndFailuresKeepTheTargetAndSayWhy) {
    ScratchDir dir;
    const std::string patch = MakePatch({DataRecord(0, "new")});
    const std::string original = Pattern(64, 'm');
    ASSERT_TRUE(WriteFile(dir.File("p.ips"), patch));
    ASSERT_TRUE(WriteFile(dir.File("stub.exe"), MakeStub()));
    ASSERT_TRUE(WriteFile(dir.File("notes.txt"), "plain text"));
    ASSERT_TRUE(WriteFile(dir.File("bad.exe"), MakeStub() + Container("d", "PATCH\x01")));
    ASSERT_TRUE(WriteFile(dir.File("p.ups"), "UPS1" + patch));
    std::string other = MakeStub() + Container("d", patch);
    other.replace(0x200, 6, "OTHER-");
    ASSERT_TRUE(WriteFile(dir.File("other.exe"), other));
    const std::string t = dir.File("t.bin");
    const struct {
        const char* name;
        std::vector<std::string> args;
        int exitCode;
        std::string err;
    } cases[] = {
        {"stub without payload", {dir.File("stub.exe"), t}, 1, dir.File("stub.exe") + ": carries no payload (程序錯誤!)"},
        {"neither", {dir.File("notes.txt"), t}, 1, dir.File("notes.txt") + ": neither an IPS or BPS patch nor a patcher"},
        {"another patch format", {dir.File("p.ups"), t}, 1, dir.File("p.ups") + ": a UPS patch: Tessel carries IPS and BPS patches"},
        {"not a Tessel program", {dir.File("other.exe"), t}, 1,
         dir.File("other.exe") + ": not a Tessel program (it has no Tessel stub marker; give tessel-stub.exe or a "
                                 "patcher made by tessel-pack)"},
        {"malformed carried patch", {dir.File("bad.exe"), t}, 1,
         dir.File("bad.exe") + ": 程序錯誤! (record 1 at block offset 0x5: record cut short in its offset (1 byte left "
                               "at block offset 0x5); " + t + " is unchanged)"},
        {"missing source", {dir.File("none.ips"), t}, 3, dir.File("none.ips") + ": no such file or directory"},
        {"missing target", {dir.File("p.ips"), dir.File("none.bin")}, 3, dir.File("none.bin") + ": no such file or directory"},
        {"directory target", {dir.File("p.ips"), dir.Path()}, 3, dir.Path() + ": is a directory"},
#ifndef _WIN32
        {"device target", {dir.File("p.ips"), "/dev/null"}, 3,
         "/dev/null: 寫入失敗! (not a regular file but a FIFO or a device; nothing was read or written)"},
#endif
        {"backup cannot be made", {dir.File("p.ips"), t, "--backup"}, 3,
         t + ".bak: 備份失敗! (the backup copy could not be made; " + t + " was not touched)"},
        {"one argument", {dir.File("p.ips")}, 2, "missing TARGET (see 'tessel-pack apply --help')"},
        {"three arguments", {dir.File("p.ips"), t, "x"}, 2, "unexpected argument 'x' (see 'tessel-pack apply --help')"},
    };
    // A directory where the backup file should go makes the copy fail.
    std::filesystem::create_directory(t + ".bak");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteFile(t, original));
        std::vector<std::string> args = {"apply"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.err, "tessel-pack apply: " + c.err + "\n");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(ReadFile(t), original);
    }
    EXPECT_FALSE(Exists(dir.File("none.bin")));
}

std::string SizeCrc(const std::string& bytes) {
    char crc[16];
    snprintf(crc, sizeof crc, "0x%08X",
             Crc32Update(0, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size())));
    return std::to_string(bytes.size()) + " bytes, CRC-32 " + crc;
}

// A patcher with two variants against a table of targets: each revision,
// each result, each with a copier header added or its own missing, a file
// that is none of them, and --variant by hand. Bytes against the reference
// reading, the header's bytes kept.
TEST(ApplyCommand, VariantsArePickedByTheTargetAndItsHeader) {
    ScratchDir dir;
    const std::string rev0 = Pattern(0x3000, 'a'), rev1 = Pattern(0x3400, 'b'), header = Pattern(512, 'h');
    // Rev 0 writes below 512, into the header a headerless copy lacks.
    const std::string p0 = MakePatch({DataRecord(0x100, "zero"), DataRecord(0x2FFE, "Z0Z0")});
    const std::string p1 = MakePatch({DataRecord(0x300, "one"), RunRecord(0x3300, 0x200, 0xEE)}, true);
    const std::string done0 = ApplyReference(p0, rev0), done1 = ApplyReference(p1, rev1);
    const std::string other = Pattern(0x3000, 'o');
    for (const auto& file : {std::make_pair("p0.ips", p0), std::make_pair("p1.ips", p1), std::make_pair("rev0", rev0),
                             std::make_pair("rev1", rev1), std::make_pair("stub.exe", MakeStub()),
                             std::make_pair("notes.txt", std::string("two revisions"))})
        ASSERT_TRUE(WriteFile(dir.File(file.first), file.second));
    const ToolRun built = RunTool({"build", "--stub", dir.File("stub.exe"), "--description", dir.File("notes.txt"),
                                   "--variant", "Rev 0", "--patch", dir.File("p0.ips"), "--source", dir.File("rev0"),
                                   "--variant", "Rev 1 (USA)", "--patch", dir.File("p1.ips"), "--source",
                                   dir.File("rev1"), "-o", dir.File("v.exe")});
    ASSERT_EQ(built.exitCode, 0) << built.err;
    const std::string inspected = RunTool({"inspect", dir.File("v.exe")}).out;
    EXPECT_EQ(ReportField(inspected, "variant 2"), "Rev 1 (USA)");
    EXPECT_EQ(ReportField(inspected, "verdict"), "valid: the program applies 2 records");

    const std::string t = dir.File("t.bin"), kept = "已保留檔案的 512 位元組檔頭。";
    const std::string expected = "expected Rev 0 (" + SizeCrc(rev0) + ") or Rev 1 (USA) (" + SizeCrc(rev1) + ")";
    const struct {
        const char* name;
        std::string before;
        std::vector<std::string> extra;
        int exitCode;
        std::string said;  // the start of standard output, or a piece of standard error
        std::string after;
    } cases[] = {
        {"Rev 0", rev0, {}, 0, "完成! (Rev 0) 總用時:", done0},
        {"Rev 1", rev1, {}, 0, "完成! (Rev 1 (USA)) 總用時:", done1},
        {"Rev 0 patched", done0, {}, 0, "此檔案已經修補過了!\n", done0},
        {"Rev 1 patched", done1, {}, 0, "此檔案已經修補過了!\n", done1},
        {"Rev 0 headered", header + rev0, {}, 0, "完成! (Rev 0) 總用時:", header + done0},
        {"Rev 1 headered", header + rev1, {}, 0, "完成! (Rev 1 (USA)) 總用時:", header + done1},
        {"Rev 1 headered, patched", header + done1, {}, 0, "此檔案已經修補過了!\n", header + done1},
        {"Rev 1 without its header", rev1.substr(512), {}, 0, "完成! (Rev 1 (USA)) 總用時:", done1.substr(512)},
        {"Rev 0 without its header", rev0.substr(512), {}, 1, "此補丁會寫入檔案所沒有的檔頭, 無法修補!", rev0.substr(512)},
        {"neither", other, {}, 1, expected + ", found " + SizeCrc(other) + ")", other},
        {"Rev 0 chosen as Rev 1", rev0, {"--variant", "Rev 1 (USA)"}, 1, "expected Rev 1 (USA) (" + SizeCrc(rev1) + ")", rev0},
        {"Rev 1 chosen as Rev 1", rev1, {"--variant", "Rev 1 (USA)"}, 0, "完成! (Rev 1 (USA)) 總用時:", done1},
        {"unknown label", rev1, {"--variant", "Rev 2"}, 2, "--variant Rev 2: not one of Rev 0, Rev 1 (USA)", rev1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteFile(t, c.before));
        std::vector<std::string> args = {"apply", dir.File("v.exe"), t};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        if (c.exitCode == 0) {
            EXPECT_EQ(run.out.compare(0, c.said.size(), c.said), 0) << run.out;
            const bool headerKept = std::string(c.name).find("headered") != std::string::npos && c.before != c.after;
            EXPECT_EQ(run.out.find(kept) != std::string::npos, headerKept) << run.out;
        } else {
            EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        }
        EXPECT_TRUE(ReadFile(t) == c.after) << "the target's bytes";
    }
    // A variant given as its two files: the patch is made from them.
    ASSERT_TRUE(WriteFile(dir.File("done1"), done1));
    const ToolRun pair = RunTool({"build", "--stub", dir.File("stub.exe"), "--description", dir.File("notes.txt"),
                                  "--variant", "Rev 0", "--patch", dir.File("p0.ips"), "--source", dir.File("rev0"),
                                  "--variant", "Rev 1", "--original", dir.File("rev1"), "--modified",
                                  dir.File("done1"), "-o", dir.File("pair.exe")});
    ASSERT_EQ(pair.exitCode, 0) << pair.err;
    ASSERT_TRUE(WriteFile(t, header + rev1));
    EXPECT_EQ(RunTool({"apply", dir.File("pair.exe"), t}).exitCode, 0);
    EXPECT_TRUE(ReadFile(t) == header + done1);
}

TEST(ApplyCommand, ATargetHeldOpenByAnotherProgramIsAWriteFailure) {
    ScratchDir dir;
    ASSERT_TRUE(WriteFile(dir.File("p.ips"), MakePatch({DataRecord(0, "new")})));
    ASSERT_TRUE(WriteFile(dir.File("t.bin"), "old bytes"));
    // Read-write with FILE_SHARE_READ only: nobody else may write meanwhile.
    FileHandle holder = OpenFileHandle(ByteString(dir.File("t.bin").c_str()), OpenModeReadWriteExisting);
    ASSERT_TRUE(IsValidFileHandle(holder));
    const ToolRun run = RunTool({"apply", dir.File("p.ips"), dir.File("t.bin")});
    CloseFileHandle(holder);
    EXPECT_EQ(run.exitCode, 3);
    // The program's words, then the system's reason and what to do.
    const std::string head = "tessel-pack apply: " + dir.File("t.bin") + ": 寫入失敗! (the file cannot be opened for writing): ";
    const std::string tail = "; the file is open in another program: close it and try again\n";
    EXPECT_EQ(run.err.compare(0, head.size(), head), 0) << run.err;
    ASSERT_GT(run.err.size(), head.size() + tail.size()) << "the system's reason between them: " << run.err;
    EXPECT_EQ(run.err.substr(run.err.size() - tail.size()), tail) << run.err;
    EXPECT_EQ(ReadFile(dir.File("t.bin")), "old bytes");
}

TEST(ApplyCommand, ProgressBarOnlyOnATerminal) {
    std::vector<Record> records;
    for (uint32_t i = 0; i < 12000; ++i) records.push_back(DataRecord(i, "x"));
    ScratchDir dir;
    ASSERT_TRUE(WriteFile(dir.File("p.ips"), MakePatch(records)));
    ASSERT_TRUE(WriteFile(dir.File("t.bin"), ""));
    const ToolRun quiet = RunTool({"apply", dir.File("p.ips"), dir.File("t.bin")});
    EXPECT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(quiet.err, "");
    ASSERT_TRUE(WriteFile(dir.File("t.bin"), ""));  // patched targets are left alone
    const ToolRun drawn = RunTool({"apply", dir.File("p.ips"), dir.File("t.bin")}, "", true);
    EXPECT_EQ(drawn.exitCode, 0);
    // Positions 0, after 5,000 and 10,000 data records (8 bytes each after a
    // 5-byte header: 41% and 83% of 96,005 bytes), then 100.
    const std::string empty(40, ' ');
    EXPECT_EQ(drawn.err, "\r[" + empty + "]   0%" + "\r[" + std::string(16, '#') + std::string(24, ' ') + "]  41%" +
                             "\r[" + std::string(33, '#') + std::string(7, ' ') + "]  83%" + "\r[" +
                             std::string(40, '#') + "] 100%\n");
}

TEST(InspectCommand, FilesWithoutAUsablePayloadAreRefused) {
    ScratchDir dir;
    const std::string patch = MakePatch({DataRecord(0x10, "ok")});
    std::string damagedL2 = MakeStub() + std::string("\xFF\xFF\xFF\xFF", 4) + patch + std::string(4, '\0');
    damagedL2[damagedL2.size() - 4] = static_cast<char>(patch.size() + 4);
    const struct {
        const char* name;
        std::string file;
        std::vector<std::string> extra;
        int exitCode;
        std::string verdict;
        std::string err;  // after "tessel-pack inspect: FILE: "
    } cases[] = {
        {"no payload (zero padding)", MakeStub(0x400, std::string(16, '\0')), {}, 1,
         "no payload: the program shows an empty description and \"程序錯誤!\" on every run", "carries no payload (L1 = 0)"},
        {"payload that is not IPS", MakeStub() + Container("d", "NOTAPATCH"), {}, 1,
         "refused: not an IPS patch: it does not begin with \"PATCH\"; the program shows \"程序錯誤!\" and changes nothing",
         "the patch is malformed: not an IPS patch: it does not begin with \"PATCH\""},
        {"damaged L2", damagedL2, {}, 0, "valid: the program applies 1 record (1 warning)", ""},
        {"description not in the code page", MakeStub() + Container("ok\x81", patch), {}, 0,
         "valid: the program applies 1 record (1 warning)", ""},
        {"bare patch", patch, {}, 0, "valid: the program applies 1 record", ""},
        {"a BPS patch too short for its header", "BPS1" + patch, {}, 1,
         "refused: a BPS patch: at block offset 0x4: too short for its sizes and its three CRC-32s; the program shows "
         "\"程序錯誤!\" and changes nothing",
         "the patch is malformed: a BPS patch: at block offset 0x4: too short for its sizes and its three CRC-32s"},
        {"not a Tessel program", [&] { std::string f = MakeStub() + Container("d", patch); f.replace(0x200, 6, "OTHER-"); return f; }(),
         {}, 1, "not a patcher: not a Tessel program (it has no Tessel stub marker; give tessel-stub.exe or a patcher "
                "made by tessel-pack); a payload after it would never be read",
         "not a Tessel program (it has no Tessel stub marker; give tessel-stub.exe or a patcher made by tessel-pack)"},
        {"bad code page", patch, {"--codepage", "1200"}, 2, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteFile(dir.File("f.exe"), c.file));
        std::vector<std::string> args = {"inspect", dir.File("f.exe")};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.exitCode, c.exitCode);
        if (c.exitCode == 2) {
            EXPECT_EQ(run.err, "tessel-pack inspect: code page 1200 is not an ANSI code page this tool can convert "
                               "to (see 'tessel-pack inspect --help')\n");
            continue;
        }
        EXPECT_EQ(ReportField(run.out, "verdict"), c.verdict) << run.out;
        EXPECT_EQ(run.err, c.err.empty() ? "" : "tessel-pack inspect: " + dir.File("f.exe") + ": " + c.err + "\n");
    }
    // The last two warnings name their cause.
    ASSERT_TRUE(WriteFile(dir.File("f.exe"), MakeStub() + Container("ok\x81", patch)));
    const ToolRun run = RunTool({"inspect", dir.File("f.exe")});
    EXPECT_EQ(ReportField(run.out, "warning"), "the description is not valid code page 936 text from byte 2 (try "
                                               "another --codepage); shown with U+FFFD in its place");
    EXPECT_EQ(ReportDescription(run.out), "ok\xEF\xBF\xBD");
    const ToolRun missing = RunTool({"inspect", dir.File("none.exe")});
    EXPECT_EQ(missing.exitCode, 3);
    EXPECT_EQ(missing.err, "tessel-pack inspect: " + dir.File("none.exe") + ": no such file or directory\n");
}

TEST(ToolCommand, HelpVersionAndUnknownCommands) {
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char* outStart;  // beginning of stdout ("" for none)
        const char* errStart;
    } cases[] = {
        {{}, 2, "", "Usage: tessel-pack COMMAND"},
        {{"--help"}, 0, "Usage: tessel-pack COMMAND", ""},
        {{"help", "apply"}, 0, "Usage: tessel-pack apply", ""},
        {{"--version"}, 0, "tessel-pack 1.0.0\nstub: none (this tessel-pack was built without one: build needs --stub)\n", ""},
        {{"build", "--help"}, 0, "Usage: tessel-pack build --patch", ""},
        {{"inspect", "-h"}, 0, "Usage: tessel-pack inspect FILE", ""},
        {{"apply", "--help", "x"}, 0, "Usage: tessel-pack apply", ""},
        {{"pack"}, 2, "", "tessel-pack: unknown command 'pack' (see 'tessel-pack --help')\n"},
    };
    for (const auto& c : cases) {
        const ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.out.compare(0, strlen(c.outStart), c.outStart), 0) << run.out;
        EXPECT_EQ(run.out.empty(), *c.outStart == 0);
        EXPECT_EQ(run.err.compare(0, strlen(c.errStart), c.errStart), 0) << run.err;
        EXPECT_EQ(run.err.empty(), *c.errStart == 0);
    }
}

}  // namespace

namespace {

uint32_t Crc(const std::string& bytes) {
    return Crc32Update(0, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
}

// A patcher built with --title and --source: inspect shows what it records,
// and apply tells the original, the patched result, a file already holding
// the patch and a stranger apart (the stranger only with --force).
TEST(VerifiedPatcher, BuildInspectAndApplyAgreeOnTheTarget) {
    ScratchDir dir;
    const std::string original = Pattern(3000, 'o');
    const std::string patch = MakePatch({DataRecord(0x10, "new bytes"), DataRecord(4000, "grown")});
    const std::string patched = ApplyReference(patch, original);
    ASSERT_TRUE(WriteFile(dir.File("p.ips"), patch));
    ASSERT_TRUE(WriteFile(dir.File("notes.txt"), "說明\n"));
    ASSERT_TRUE(WriteFile(dir.File("original.bin"), original));
    ASSERT_TRUE(WriteFile(dir.File("stub.exe"), MakeStub()));
    const ToolRun built = RunTool({"build", "--stub", dir.File("stub.exe"), "--patch", dir.File("p.ips"),
                                   "--description", dir.File("notes.txt"), "--title", "補丁 1.2", "--source",
                                   dir.File("original.bin"), "-o", dir.File("v.exe")});
    ASSERT_EQ(built.exitCode, 0) << built.err;
    const ToolRun shown = RunTool({"inspect", dir.File("v.exe")});
    EXPECT_EQ(ReportField(shown.out, "window title"), "補丁 1.2");
    EXPECT_EQ(ReportField(shown.out, "made for").compare(0, 11, "3000 bytes,"), 0) << shown.out;
    EXPECT_EQ(ReportDescription(shown.out), "說明\r\n");

    const struct {
        const char* name;
        std::string target;
        bool force;
        int exitCode;
        std::string after;
    } rows[] = {
        {"the original is patched", original, false, 0, patched},
        {"the result is left alone", patched, false, 0, patched},
        {"a stranger is refused", Pattern(3000, 'x'), false, 1, Pattern(3000, 'x')},
        {"a stranger with --force", Pattern(3000, 'x'), true, 0, ApplyReference(patch, Pattern(3000, 'x'))},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(WriteFile(dir.File("t.bin"), row.target));
        std::vector<std::string> args = {"apply", dir.File("v.exe"), dir.File("t.bin")};
        if (row.force) args.push_back("--force");
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.exitCode, row.exitCode) << run.out << run.err;
        EXPECT_TRUE(ReadFile(dir.File("t.bin")) == row.after);
        if (row.exitCode != 1) continue;
        // The refusal names both sides, as the program's question does.
        char facts[160];
        snprintf(facts, sizeof facts, "it needs 3000 bytes, CRC-32 0x%X; %s is 3000 bytes, CRC-32 0x%X", Crc(original),
                 dir.File("t.bin").c_str(), Crc(row.target));
        EXPECT_NE(run.err.find(facts), std::string::npos) << run.err;
    }
}

}  // namespace
