// The payload at the end of a file: well-formed shapes, absurd lengths, and
// the real thing: a copy of this very test program with a payload appended,
// started as a child, finding itself through GetProgramPath.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <string>
#include <vector>

#include "patch/patch_container.h"
#include "platform/program_path.h"
#include "stream_test_files.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

using streamtest::AppendAll;
using streamtest::Bytes;
using streamtest::FromByteString;
using streamtest::LittleEndian32;
using streamtest::Pattern;
using streamtest::Payload;
using streamtest::ReadAll;
using streamtest::TempDir;
using streamtest::ToByteString;
using streamtest::WriteAll;

namespace {

// The shape of the carried payload: a 231-byte GBK description with one
// CR LF, and a 151-byte patch of three records beginning "PATCH".
Bytes CarriedDescription() {
    Bytes text;
    const Bytes line1 = "\xB1\xBE\xB2\xB9\xB6\xA1\xCA\xCA\xD3\xC3\xD3\xDA Tessel demo ";  // GBK
    while (text.size() < 120) text += line1;
    text.resize(120);
    text += "\r\n";
    while (text.size() < 231) text += "\xCB\xB5\xC3\xF7";
    text.resize(231);
    return text;
}

Bytes CarriedPatch() {
    Bytes patch = "PATCH";
    patch += Bytes("\x00\x01\x8E\x00\x02", 5) + "\xEB\xFE";
    patch += Bytes("\x00\xF9\xDB\x00\x39", 5) + Pattern(57, 2);
    patch += Bytes("\x1B\xFF\xB8\x00\x48", 5) + Pattern(72, 3);
    return patch;  // 5 + 7 + 62 + 77 = 151
}

// Stands in for the executable image in front of the payload.
Bytes Image() { return "MZ" + Pattern(998, 11); }

// The executable padded with zeros, as a program without a payload ends.
Bytes NoPayload() { return Image() + Bytes(512, '\0'); }

struct ContainerCase {
    const char* name;
    Bytes file;
    bool l1Valid, l2Valid;
    Bytes patch, description;
    uint32_t payloadOffset;
    uint32_t payloadEnd = 0;  // 0: the file size
};

uint32_t Size(const Bytes& b) { return static_cast<uint32_t>(b.size()); }

// Image + description + L2 + patch + L1 with both lengths given explicitly.
Bytes Raw(const Bytes& description, uint32_t l2, const Bytes& patch, uint32_t l1) {
    return Image() + description + LittleEndian32(l2) + patch + LittleEndian32(l1);
}

// A PE header (PE32, or PE32+ when wide) padded to 1024 bytes whose
// security directory names tableSize bytes at tableOffset, as signing tools
// leave it; then body, then a certificate table of tableBytes.
Bytes SignedFile(const Bytes& body, uint32_t tableBytes, bool wide = false, int32_t offsetSkew = 0,
                 int32_t sizeSkew = 0) {
    Bytes head = "MZ" + Bytes(0x3A, '\0') + LittleEndian32(0x80) + Bytes(0x40, '\0') + Bytes("PE\0\0", 4);
    head += Bytes("\x4C\x01", 2) + Bytes(18, '\0');
    Bytes optional = Bytes(wide ? "\x0B\x02" : "\x0B\x01", 2) + Bytes(wide ? 106 : 90, '\0') + LittleEndian32(16);
    const uint32_t tableOffset = 1024 + Size(body);
    optional += Bytes(32, '\0') + LittleEndian32(tableOffset + offsetSkew) + LittleEndian32(tableBytes + sizeSkew);
    head += optional;
    head.resize(1024, '\0');
    return head + body + Pattern(tableBytes, 7);
}

std::vector<ContainerCase> Cases() {
    const Bytes desc = CarriedDescription();
    const Bytes patch = CarriedPatch();
    const uint32_t image = Size(Image());
    std::vector<ContainerCase> cases = {
        {"carried shape", Image() + Payload(desc, patch), true, true, patch, desc, image},
        {"empty description (L2 = 4)", Image() + Payload("", patch), true, true, patch, "", image},
        {"empty patch (L1 = 4)", Image() + Payload(desc, ""), true, true, "", desc, image},
        {"no payload: trailing zeros", NoPayload(), false, false, "", "", Size(NoPayload())},
        {"empty file", "", false, false, "", "", 0},
        {"three-byte file", "abc", false, false, "", "", 3},
        {"file of just L1 = 4", LittleEndian32(4), true, false, "", "", 0},
        {"payload is the whole file", Payload(desc, patch), true, true, patch, desc, 0},
        // Only the last payload counts when two were appended.
        {"second payload wins", Image() + Payload("old", "PATCHold") + Payload("new", "PATCHnew"), true, true,
         "PATCHnew", "new", image + Size(Payload("old", "PATCHold"))},
    };
    for (uint32_t l1 : {0u, 1u, 2u, 3u, 0xFFFFFFFFu, 0x80000000u}) {
        cases.push_back({"absurd L1", Raw(desc, 235, patch, l1), false, false, "", "", 0});
    }
    {
        Bytes file = Raw(desc, 235, patch, 0);
        uint32_t size = Size(file);
        cases.push_back({"L1 one above the file size", Raw(desc, 235, patch, size + 1), false, false, "", "", 0});
        // L1 = the file size: the whole file is the patch block, with no room for L2.
        Bytes whole = Raw(desc, 235, patch, size);
        cases.push_back({"L1 = the file size", whole, true, false, whole.substr(0, size - 4), "", 0});
    }
    {
        Bytes good = Raw(desc, 235, patch, 155);
        uint32_t room = Size(good) - 155;
        for (uint32_t l2 : {0u, 1u, 3u, 0xFFFFFFFFu, room + 1, 0x7FFFFFFFu}) {
            cases.push_back({"good L1, bad L2", Raw(desc, l2, patch, 155), true, false, patch, "", 0});
        }
        // L2 = all the room in front of the patch: the description starts at byte 0.
        Bytes all = Raw(desc, room, patch, 155);
        cases.push_back({"L2 = all the room", all, true, true, patch, all.substr(0, room - 4), 0});
    }
    // Signed: the payload ends where the certificate table begins, but only
    // a table that ends the file is one.
    {
        const Bytes body = Payload(desc, patch);
        const uint32_t end = 1024 + Size(body);
        cases.push_back({"signed PE32", SignedFile(body, 0x5A8), true, true, patch, desc, 1024, end});
        cases.push_back({"signed PE32+", SignedFile(body, 8, true), true, true, patch, desc, 1024, end});
        cases.push_back({"table short of the end", SignedFile(body, 0x40, false, 0, -1), false, false, "", "", 0});
        cases.push_back({"table past the end", SignedFile(body, 0x40, false, 0, 1), false, false, "", "", 0});
        cases.push_back({"table offset past the file", SignedFile(body, 0x40, false, 0x10000, -0x10000), false,
                         false, "", "", 0});
        // Appended after the signature (as an old tool would): the payload at the file's end wins.
        const Bytes late = SignedFile("", 0x40, false, 0, 0) + body;
        cases.push_back({"payload after a table", late, true, true, patch, desc, Size(late) - Size(body)});
    }
    // payloadOffset for the cases above that left it as 0 as a placeholder.
    for (ContainerCase& c : cases) {
        uint32_t size = Size(c.file);
        if (!c.l1Valid) c.payloadOffset = size;
        else if (!c.l2Valid) c.payloadOffset = size - Size(c.patch) - 4;
    }
    return cases;
}

class PatchContainerTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.Ok()); }
    TempDir dir;
};

TEST_F(PatchContainerTest, ReadsWhatTheLengthsAllowAndNothingElse) {
    int n = 0;
    for (const ContainerCase& c : Cases()) {
        SCOPED_TRACE(testing::Message() << c.name << " (" << c.file.size() << " bytes)");
        std::string path = dir.Path("case" + std::to_string(++n) + ".exe");
        ASSERT_TRUE(WriteAll(path, c.file));
        ByteStream* patch = CreateMemoryStream();
        ByteString description("stale");
        PatchContainerInfo info;
        memset(&info, 0xCC, sizeof info);
        bool ok = ReadPatchContainer(ToByteString(path), patch, &description, &info);
        EXPECT_EQ(ok, c.l1Valid);
        EXPECT_EQ(info.l1Valid, c.l1Valid);
        EXPECT_EQ(info.l2Valid, c.l2Valid);
        EXPECT_EQ(info.fileSize, c.file.size());
        EXPECT_EQ(info.payloadOffset, c.payloadOffset);
        EXPECT_EQ(info.payloadEnd, c.payloadEnd ? c.payloadEnd : c.file.size());
        if (c.file.size() >= 4 && !c.payloadEnd) {
            EXPECT_EQ(LittleEndian32(info.l1), c.file.substr(c.file.size() - 4));
        }
        EXPECT_EQ(FromByteString(description), c.description);
        ASSERT_EQ(StreamGetSize(patch), c.patch.size());
        EXPECT_EQ(StreamPosition(patch), c.patch.size());  // positioned at its end
        if (!c.patch.empty()) {
            EXPECT_EQ(Bytes(reinterpret_cast<char*>(patch->block), patch->size), c.patch);
        }
        // Never more memory than the block needs: the next 16 KiB step.
        EXPECT_EQ(patch->capacity, c.patch.empty() ? 0u : (Size(c.patch) | 0x3FFFu) + 1);
        Release(patch);
        EXPECT_EQ(ReadAll(path), c.file);  // the reader never writes
    }
}

TEST_F(PatchContainerTest, CarriedShapeInDetail) {
    const Bytes desc = CarriedDescription();
    const Bytes patch = CarriedPatch();
    ASSERT_EQ(desc.size(), 231u);
    ASSERT_EQ(patch.size(), 151u);
    ASSERT_EQ(Payload(desc, patch).size(), 390u);
    std::string path = dir.Path("carried.exe");
    ASSERT_TRUE(WriteAll(path, Image() + Payload(desc, patch)));
    ByteStream* stream = CreateMemoryStream();
    ByteString description;
    PatchContainerInfo info;
    ASSERT_TRUE(ReadPatchContainer(ToByteString(path), stream, &description, &info));
    EXPECT_EQ(info.l1, 155u);
    EXPECT_EQ(info.l2, 235u);
    EXPECT_EQ(stream->size, 151u);
    EXPECT_EQ(stream->position, 151u);
    EXPECT_EQ(stream->capacity, 16384u);
    EXPECT_EQ(memcmp(stream->block, "PATCH", 5), 0);
    EXPECT_EQ(description.Length(), 231u);
    EXPECT_NE(strstr(description.CStr(), "\r\n"), nullptr);
    Release(stream);
}

TEST_F(PatchContainerTest, MissingFileAndNullOutputs) {
    PatchContainerInfo info;
    ByteString description("stale");
    EXPECT_FALSE(ReadPatchContainer(dir.PathBytes("missing.exe"), nullptr, &description, &info));
    EXPECT_EQ(info.fileSize, 0u);
    EXPECT_FALSE(info.l1Valid);
    EXPECT_TRUE(description.Empty());
    std::filesystem::create_directory(dir.Path("folder"));
    EXPECT_FALSE(ReadPatchContainer(dir.PathBytes("folder"), nullptr, nullptr, &info));
    // Without a patch stream the lengths are still checked and reported.
    std::string path = dir.Path("p.exe");
    ASSERT_TRUE(WriteAll(path, Image() + Payload("d", "PATCHx")));
    EXPECT_TRUE(ReadPatchContainer(ToByteString(path), nullptr, nullptr, &info));
    EXPECT_TRUE(info.l2Valid);
    EXPECT_EQ(info.l1, 10u);
    EXPECT_EQ(info.l2, 5u);
    EXPECT_EQ(info.payloadOffset, Size(Image()));
}

// --- the running program ---------------------------------------------------

const char probeVariable[] = "TESSEL_CONTAINER_PROBE";

// In a child started by RunProbe, before GoogleTest's main: load the payload
// of this program file the way the patcher does (its own path, a new memory
// stream), write what was found to the file the variable names, and leave.
int Probe(const char* out) {
    ByteStream* patchStream = CreateMemoryStream();
    ByteString description;
    ByteString self = GetProgramPath();
    ReadPatchContainerFrom(ReadOnlyFileStreamOn(OpenProgramFile()), patchStream, &description, nullptr);
    FILE* f = fopen(out, "wb");
    if (!f) return 3;
    uint32_t numbers[5] = {self.Length(), description.Length(), patchStream ? patchStream->size : 0xFFFFFFFFu,
                           patchStream ? patchStream->position : 0, patchStream ? patchStream->capacity : 0};
    fwrite(numbers, sizeof numbers, 1, f);
    fwrite(self.CStr(), 1, self.Length(), f);
    fwrite(description.CStr(), 1, description.Length(), f);
    if (patchStream && patchStream->size) fwrite(patchStream->block, 1, patchStream->size, f);
    bool ok = fclose(f) == 0;
    ReleaseAndClear(patchStream);
    return ok ? 0 : 4;
}

int RunProbeIfAsked() {
    const char* out = getenv(probeVariable);
    if (!out || !*out) return 0;
    exit(Probe(out));
}
const int probeRan = RunProbeIfAsked();

struct ProbeResult {
    bool ran = false;
    std::string self, description, patch;
    uint32_t size = 0, position = 0, capacity = 0;
};

// Starts program with the probe variable set and reads back its findings.
ProbeResult RunProbe(const std::string& program, const std::string& out) {
    ProbeResult result;
#ifdef _WIN32
    SetEnvironmentVariableA(probeVariable, out.c_str());
    std::string commandLine = "\"" + program + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(program.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL,
                                  &startup, &process);
    SetEnvironmentVariableA(probeVariable, NULL);
    if (!started) return result;
    DWORD waited = WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (waited != WAIT_OBJECT_0 || code != 0) return result;
#else
    setenv(probeVariable, out.c_str(), 1);
    pid_t pid;
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    int spawned = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ);
    unsetenv(probeVariable);
    if (spawned != 0) return result;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return result;
#endif
    Bytes data = ReadAll(out);
    uint32_t numbers[5];
    if (data.size() < sizeof numbers) return result;
    memcpy(numbers, data.data(), sizeof numbers);
    size_t at = sizeof numbers;
    if (data.size() != at + numbers[0] + numbers[1] + (numbers[2] == 0xFFFFFFFFu ? 0 : numbers[2])) return result;
    result.self = data.substr(at, numbers[0]);
    result.description = data.substr(at + numbers[0], numbers[1]);
    result.patch = data.substr(at + numbers[0] + numbers[1]);
    result.size = numbers[2];
    result.position = numbers[3];
    result.capacity = numbers[4];
    result.ran = true;
    return result;
}

std::string Normalized(std::string path) {
#ifdef _WIN32
    for (char& c : path) {
        if (c == '/') c = '\\';
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
#endif
    return path;
}

TEST_F(PatchContainerTest, TheRunningProgramFindsItselfAndItsPayload) {
    ASSERT_EQ(probeRan, 0);
    ByteString self = GetProgramPath();
    ASSERT_FALSE(self.Empty());
    ASSERT_TRUE(IsExistingFile(self));
    std::error_code error;
    ASSERT_TRUE(std::filesystem::equivalent(std::filesystem::path(self.CStr()),
                                            std::filesystem::path(TESSEL_BINARY_DIR) / "tests" /
#ifdef _WIN32
                                                "patch_tests.exe",
#else
                                                "patch_tests",
#endif
                                            error))
        << self.CStr();

    const Bytes desc = CarriedDescription();
    const Bytes patch = CarriedPatch();
    const struct {
        const char* name;
        Bytes appended;
        Bytes description, patch;
    } cases[] = {
        {"carried payload", Payload(desc, patch), desc, patch},
        {"empty description", Payload("", patch), "", patch},
        {"no payload: zero padding", Bytes(512, '\0'), "", ""},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string copy = dir.Path("probe" + std::to_string(++n) + ".exe");
        ASSERT_TRUE(std::filesystem::copy_file(self.CStr(), copy, error)) << error.message();
        ASSERT_TRUE(AppendAll(copy, c.appended));
        ProbeResult r = RunProbe(copy, dir.Path("probe" + std::to_string(n) + ".out"));
        ASSERT_TRUE(r.ran);
        EXPECT_EQ(Normalized(r.self), Normalized(std::filesystem::absolute(copy).string()));
        EXPECT_EQ(r.description, c.description);
        EXPECT_EQ(r.patch, c.patch);
        EXPECT_EQ(r.size, c.patch.size());
        EXPECT_EQ(r.position, c.patch.size());
        EXPECT_EQ(r.capacity, c.patch.empty() ? 0u : 16384u);
    }
}

}  // namespace

namespace {

// One extension written out by hand from the documented layout, so the
// reader is checked against the bytes rather than against its own writer.
Bytes Field(uint8_t type, const Bytes& value) {
    return Bytes(1, static_cast<char>(type)) + static_cast<char>(value.size()) +
           static_cast<char>(value.size() >> 8) + value;
}
Bytes Extended(const Bytes& text, const Bytes& fields, uint32_t sizeField, uint32_t version,
               const char* magic = "TsEx") {
    return text + Bytes(1, '\0') + fields + LittleEndian32(sizeField) + LittleEndian32(version) + magic;
}

TEST(DescriptionBlock, ExtensionIsReadOnlyWhenItFitsItsBlockExactly) {
    const Bytes utf8 = Field(1, LittleEndian32(65001)), title = Field(2, "My Title");
    const Bytes facts = Field(3, LittleEndian32(10) + LittleEndian32(0xAABBCCDD) + LittleEndian32(12) +
                                     LittleEndian32(0x11223344));
    const Bytes all = utf8 + title + Field(9, "future") + facts;
    const uint32_t n = static_cast<uint32_t>(all.size());
    const struct {
        const char* name;
        Bytes block;
        bool present;
        const char* text;  // null: the whole block
        uint32_t codePage;
        const char* title;
        bool hasFacts;
    } rows[] = {
        {"every field, unknown type skipped", Extended("desc", all, n, 1), true, "desc", 65001, "My Title", true},
        {"no fields, empty text", Extended("", "", 0, 1), true, "", 0, "", false},
        {"plain text", "just text", false, nullptr, 0, "", false},
        {"size one past its room", Extended("", all, n + 1, 1), false, nullptr, 0, "", false},
        {"absurd size", Extended("desc", all, 0xFFFFFFF0u, 1), false, nullptr, 0, "", false},
        {"size cuts a field", Extended("desc", all, n - 1, 1), false, nullptr, 0, "", false},
        {"no NUL before the fields", "desc" + all + LittleEndian32(n) + LittleEndian32(1) + "TsEx",
         false, nullptr, 0, "", false},
        {"code page field of 3 bytes", Extended("d", Field(1, "abc"), 6, 1), false, nullptr, 0, "", false},
        {"unknown version", Extended("desc", all, n, 2), false, nullptr, 0, "", false},
        {"wrong magic", Extended("desc", all, n, 1, "TsEy"), false, nullptr, 0, "", false},
        {"trailer alone", LittleEndian32(0) + LittleEndian32(1) + "TsEx", false, nullptr, 0, "", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ByteString text("stale");
        PayloadExtension extension;
        extension.present = !row.present;
        SplitDescriptionBlock(ToByteString(row.block), &text, &extension);
        EXPECT_EQ(extension.present, row.present);
        EXPECT_EQ(FromByteString(text), row.text ? Bytes(row.text) : row.block);
        EXPECT_EQ(extension.codePage, row.codePage);
        EXPECT_EQ(FromByteString(extension.title), row.title);
        EXPECT_EQ(extension.hasFacts, row.hasFacts);
        if (row.hasFacts) {
            EXPECT_EQ(extension.facts.originalSize, 10u);
            EXPECT_EQ(extension.facts.originalCrc, 0xAABBCCDDu);
            EXPECT_EQ(extension.facts.resultSize, 12u);
            EXPECT_EQ(extension.facts.resultCrc, 0x11223344u);
        }
    }
    // The writer lays out the same bytes (types in order, no unknown field).
    PayloadExtension written = {};
    written.codePage = 65001;
    written.title = ByteString("My Title");
    written.hasFacts = true;
    written.facts = {10, 0xAABBCCDDu, 12, 0x11223344u};
    EXPECT_EQ(FromByteString(ComposeDescriptionBlock(ByteString("desc"), written)),
              Extended("desc", utf8 + title + facts, static_cast<uint32_t>((utf8 + title + facts).size()), 1));
}

// Variants written by hand: a field each (six numbers, then the label) and
// the later ones' patches in pieces of their own; what breaks the rules is
// no extension at all, and the writer's bytes read back the same.
TEST(DescriptionBlock, VariantsAndTheirPatchPiecesFollowTheLayout) {
    auto variant = [](uint32_t seed, const Bytes& label) {
        Bytes numbers;
        for (uint32_t i = 0; i < 6; ++i) numbers += LittleEndian32(seed + i);
        return Field(4, numbers + label);
    };
    auto piece = [](uint8_t number, const Bytes& bytes) { return Field(5, Bytes(1, char(number)) + bytes); };
    const Bytes big(70000, 'x');  // a patch of more than one piece
    const Bytes two = variant(10, "Rev 0") + variant(20, "Rev 1") + piece(1, "PATCH") + piece(1, "-more");
    std::string many;
    for (int i = 0; i < 17; ++i) many += variant(i, "v");
    const struct {
        const char* name;
        Bytes fields;
        bool present;
        uint32_t count;
        const char* secondPatch;
    } rows[] = {
        {"two variants, the second's patch in two pieces", two, true, 2, "PATCH-more"},
        {"a variant alone has the patch block", variant(1, "only"), true, 1, ""},
        {"a piece before its variant", variant(10, "a") + piece(1, "P") + variant(20, "b"), false, 0, ""},
        {"a piece for the first variant", variant(10, "a") + piece(0, "P"), false, 0, ""},
        {"a later variant without a patch", variant(10, "a") + variant(20, "b"), false, 0, ""},
        {"a piece after a later variant's field",
         variant(10, "a") + variant(20, "b") + piece(1, "P") + variant(30, "c") + piece(1, "Q") + piece(2, "R"), false,
         0, ""},
        {"a variant field too short", Field(4, "short"), false, 0, ""},
        {"a label past 255 bytes", variant(1, Bytes(256, 'L')), false, 0, ""},
        {"17 variants", many, false, 0, ""},
        {"an empty piece", variant(10, "a") + variant(20, "b") + Field(5, ""), false, 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ByteString text;
        PayloadExtension extension;
        SplitDescriptionBlock(ToByteString(Extended("d", row.fields, uint32_t(row.fields.size()), 1)), &text, &extension);
        EXPECT_EQ(extension.present, row.present);
        EXPECT_EQ(extension.variantCount, row.count);
        if (row.count < 2) continue;
        EXPECT_EQ(FromByteString(VariantLabel(extension, 0)), "Rev 0");
        EXPECT_EQ(extension.variants[1].facts.originalSize, 20u);
        EXPECT_EQ(extension.variants[1].resultBodyCrc, 25u);
        EXPECT_EQ(Bytes(reinterpret_cast<const char*>(VariantPatch(extension, 1)), extension.variants[1].patchSize),
                  row.secondPatch);
    }
    PayloadExtension written = {};
    PatchVariant numbers = {};
    ASSERT_TRUE(AddPatchVariant(&written, numbers, ByteString("Rev 0"), nullptr, 0));
    numbers.sourceBodyCrc = 7;
    ASSERT_TRUE(AddPatchVariant(&written, numbers, ByteString("Rev 1"), reinterpret_cast<const uint8_t*>(big.data()),
                                uint32_t(big.size())));
    ByteString text;
    PayloadExtension read;
    SplitDescriptionBlock(ComposeDescriptionBlock(ByteString("d"), written), &text, &read);
    ASSERT_TRUE(read.present);
    EXPECT_EQ(read.variantCount, 2u);
    EXPECT_EQ(FromByteString(VariantLabel(read, 1)), "Rev 1");
    EXPECT_EQ(read.variants[1].sourceBodyCrc, 7u);
    EXPECT_TRUE(Bytes(reinterpret_cast<const char*>(VariantPatch(read, 1)), read.variants[1].patchSize) == big);
}

}  // namespace
