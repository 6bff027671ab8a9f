// Where a stub's executable ends and where a carried payload begins: the
// rules that keep a rebuilt patcher from stacking a second payload and keep
// image bytes that merely look like lengths from being cut off.
#include <gtest/gtest.h>

#include "tool_test_support.h"
#include "tools/tessel_pack/payload.h"
#include "tools/tessel_pack/pe_layout.h"

using namespace tooltest;

namespace {

TEST(PeLayoutReading, FindsTheImageEndOrSaysWhyNot) {
    std::string manySections = MakeStub();
    manySections[0x46] = '\xFF';  // 0xFF01 sections: the table cannot fit
    std::string sectionPastEnd = MakeStub();
    sectionPastEnd[0x40 + 24 + 0xE0 + 16 + 1] = '\x40';  // raw size 0x4000 in a 0x600 file
    std::string badLfanew = MakeStub();
    badLfanew[0x3D] = '\x70';  // e_lfanew 0x7040: past the end

    const struct {
        const char* name;
        std::string bytes;
        bool ok;
        uint64_t imageEnd;
        const char* reason;
    } cases[] = {
        {"minimal stub", MakeStub(), true, 0x600, ""},
        {"overlay after it", MakeStub(0x400, "", "overlay bytes"), true, 0x600, ""},
        {"bigger section", MakeStub(0x1000), true, 0x1200, ""},
        {"empty file", "", false, 0, "not a Windows executable (no MZ header)"},
        {"an IPS patch", "PATCH" + std::string(100, '\0'), false, 0, "not a Windows executable (no MZ header)"},
        {"MZ only", "MZ" + std::string(62, '\0'), false, 0, "not a Windows executable (no PE header)"},
        {"e_lfanew past the end", badLfanew, false, 0, "not a Windows executable (no PE header)"},
        {"section table too long", manySections, false, 0,
         "not a Windows executable (section table outside the file)"},
        {"section past the end", sectionPastEnd, false, 0,
         "damaged Windows executable (a section lies past the end of the file)"},
    };
    for (const auto& c : cases) {
        PeLayout layout = {0, 0};
        std::string reason;
        EXPECT_EQ(ReadPeLayout(c.bytes, layout, reason), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(layout.imageEnd, c.imageEnd) << c.name;
            EXPECT_EQ(layout.machine, 0x014C) << c.name;
        } else {
            EXPECT_EQ(reason, c.reason) << c.name;
        }
    }
}

// file + a certificate table of tableSize bytes that the security directory
// of a MakeStub header names.
std::string Signed(std::string file, uint32_t tableSize) {
    const size_t entry = 0x58 + 96 + 4 * 8;
    const uint32_t at = static_cast<uint32_t>(file.size());
    for (int i = 0; i < 4; ++i) {
        file[entry + i] = static_cast<char>(at >> (8 * i));
        file[entry + 4 + i] = static_cast<char>(tableSize >> (8 * i));
    }
    return file + std::string(tableSize, '\x5A');
}

TEST(StubExecutable, LeavesOutOnlyARecognisedPayload) {
    const std::string stub = MakeStub();
    const std::string patch = MakePatch({DataRecord(0x10, "ab")});
    const std::string payload = Container("notes", patch);
    std::string badL2 = std::string("\xFF\xFF\xFF\xFF", 4) + patch + std::string(4, '\0');
    badL2[badL2.size() - 4] = static_cast<char>(patch.size() + 4);
    const struct {
        const char* name;
        std::string file;
        uint64_t expected;
    } cases[] = {
        {"no payload", stub, stub.size()},
        {"payload", stub + payload, stub.size()},
        {"empty description", stub + Container("", patch), stub.size()},
        {"junk before the payload stays", stub + "junk" + payload, stub.size() + 4},
        {"payload whose patch is not IPS", stub + Container("notes", "NOT A PATCH"),
         stub.size() + Container("notes", "NOT A PATCH").size()},
        {"look-alike inside the image", MakeStub(0x400, payload), stub.size()},
        {"look-alike overlapping the image end", MakeStub(0x400, payload.substr(0, 6), payload.substr(6)),
         stub.size() + payload.size() - 6},
        {"damaged L2: only the patch block", stub + badL2, stub.size() + 4},
        {"alignment zeros before the payload", stub + std::string(7, '\0') + payload, stub.size()},
        {"eight zeros are no alignment", stub + std::string(8, '\0') + payload, stub.size() + 8},
        {"signed, with a payload", Signed(stub + payload, 0x30), stub.size()},
        {"signed, no payload", Signed(stub, 0x18), stub.size()},
        {"table not ending the file", Signed(stub + payload, 0x30) + "x", stub.size() + payload.size() + 0x31},
    };
    ScratchDir dir;
    for (const auto& c : cases) {
        const std::string path = dir.File("stub.exe");
        ASSERT_TRUE(WriteFile(path, c.file));
        PeLayout layout;
        std::string reason;
        ASSERT_TRUE(ReadPeLayout(c.file, layout, reason)) << c.name;
        CarriedPayload carried;
        ReadCarriedPayload(path, carried);
        EXPECT_EQ(carried.info.fileSize, c.file.size()) << c.name;
        EXPECT_EQ(StubExecutableLength(c.file, layout, carried), c.expected) << c.name;
    }
}

// Re-packing a signed patcher: the table and the old payload go, the
// security directory is cleared, and the tool says the signature is gone.
TEST(StubExecutable, RePackingASignedPatcherDropsItsSignature) {
    ScratchDir dir;
    const std::string stub = MakeStub();
    const std::string patch = MakePatch({DataRecord(0x10, "ab")});
    ASSERT_TRUE(WriteFile(dir.File("signed.exe"), Signed(Patcher(stub, Container("old", patch)), 0x40)));
    ASSERT_TRUE(WriteFile(dir.File("p.ips"), patch));
    ASSERT_TRUE(WriteFile(dir.File("notes.txt"), "new"));
    const ToolRun run = RunTool({"build", "--stub", dir.File("signed.exe"), "--patch", dir.File("p.ips"), "--description",
                                 dir.File("notes.txt"), "--codepage", "936", "-o", dir.File("out.exe")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadFile(dir.File("out.exe")), Patcher(stub, Container("new", patch)));
    EXPECT_EQ(run.err, "tessel-pack build: warning: " + dir.File("signed.exe") +
                           ": its signature is left out: it cannot cover a new payload; sign the new patcher\n");
    EXPECT_NE(run.out.find("and its 64-byte signature left out)"), std::string::npos) << run.out;
    EXPECT_EQ(ReportField(RunTool({"inspect", dir.File("out.exe")}).out, "signature"), "none");
    // The signed one: a table this reader cannot follow is still named.
    EXPECT_EQ(ReportField(RunTool({"inspect", dir.File("signed.exe")}).out, "signature"),
              "64-byte certificate table this tool cannot read (osslsigncode verify can)");
}

TEST(StubExecutable, ReadsBackWhatTheProgramWouldRead) {
    ScratchDir dir;
    const std::string patch = MakePatch({DataRecord(0x10, "ab"), RunRecord(0x20, 3, 0xFF)});
    ASSERT_TRUE(WriteFile(dir.File("a.exe"), MakeStub() + Container("notes\r\n", patch)));
    CarriedPayload carried;
    ReadCarriedPayload(dir.File("a.exe"), carried);
    EXPECT_TRUE(carried.patchFound);
    EXPECT_TRUE(carried.info.l2Valid);
    EXPECT_EQ(carried.patch, patch);
    EXPECT_EQ(carried.description, "notes\r\n");
    EXPECT_EQ(carried.info.payloadOffset, MakeStub().size());
}

TEST(PayloadLayout, DescriptionLengthPatchLengthLittleEndian) {
    EXPECT_EQ(ComposePayload("ab", "PATCH"), std::string("ab\x06\0\0\0PATCH\x09\0\0\0", 15));
    EXPECT_EQ(ComposePayload("", "PATCH"), std::string("\x04\0\0\0PATCH\x09\0\0\0", 13));
    const std::string big(0x10203, 'x');
    const std::string laid = ComposePayload(big, "PATCH");
    EXPECT_EQ(laid.substr(big.size(), 4), std::string("\x07\x02\x01\x00", 4));
    EXPECT_TRUE(FitsInContainer(0xFFFFFFFFull - 8, 0, 0));
    EXPECT_FALSE(FitsInContainer(0xFFFFFFF8ull, 0, 1));
    EXPECT_FALSE(FitsInContainer(0, 0x80000000ull, 0x80000000ull));
}

}  // namespace
