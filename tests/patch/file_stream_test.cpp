// File wrappers and file streams on real files, the same checks on POSIX and
// on Windows (under wine64): the POSIX wrappers must give what Win32 gives.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "patch/byte_stream.h"
#include "platform/file_handle.h"
#include "platform/clock.h"
#include "stream_test_files.h"

using streamtest::AppendAll;
using streamtest::Bytes;
using streamtest::Pattern;
using streamtest::ReadAll;
using streamtest::TempDir;
using streamtest::ToByteString;
using streamtest::WriteAll;

namespace {

struct Holder {
    ByteStream* s;
    explicit Holder(ByteStream* stream) : s(stream) {}
    ~Holder() { Release(s); }
};

class FileStreamTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.Ok()); }
    std::string Make(const std::string& name, const Bytes& bytes) {
        std::string path = dir.Path(name);
        EXPECT_TRUE(WriteAll(path, bytes));
        return path;
    }
    TempDir dir;
};

TEST(OpenModeWord, UnpacksIntoTheCreateFileArguments) {
    const struct {
        OpenMode mode;
        uint32_t access, share, disposition, flags;
    } cases[] = {
        {OpenModeReadWriteExisting, 0xC0000000u, 1, 3, 0x80},
        {OpenModeReadWriteCreate, 0xC0000000u, 1, 2, 0x80},
        {OpenModeReadOnly, 0x80000000u, 1, 3, 0x80},
        // Bits 16-28 double as flags and attributes.
        {0x80020402u, 0x80020000u, 2, 4, 0x00020000u},
        {0x1FFF0000u, 0x1FFF0000u, 0, 0, 0x1FFF0000u},
        {0xE0000000u, 0xE0000000u, 0, 0, 0x80},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.mode);
        OpenModeArguments a = DecodeOpenMode(c.mode);
        EXPECT_EQ(a.access, c.access);
        EXPECT_EQ(a.share, c.share);
        EXPECT_EQ(a.disposition, c.disposition);
        EXPECT_EQ(a.flagsAndAttributes, c.flags);
    }
}

TEST(FileHandleValues, NullAndAllBitsSetAreNoHandle) {
    EXPECT_FALSE(IsValidFileHandle(nullptr));
    EXPECT_FALSE(IsValidFileHandle(InvalidFileHandle()));
    EXPECT_FALSE(CloseFileHandle(nullptr));
    EXPECT_FALSE(CloseFileHandle(InvalidFileHandle()));
    char c;
    EXPECT_EQ(ReadFileHandle(nullptr, &c, 1), 0u);
    EXPECT_EQ(WriteFileHandle(InvalidFileHandle(), &c, 1), 0u);
    EXPECT_EQ(SeekFileHandle(nullptr, 0, SeekOrigin::Beginning), InvalidPosition);
    EXPECT_EQ(GetFileSizeHandle(nullptr), InvalidFileSize);
    EXPECT_FALSE(SetEndOfFileHandle(InvalidFileHandle()));
}

TEST_F(FileStreamTest, IsExistingFileOnlyForFiles) {
    Make("plain.bin", "x");
    Make("empty.bin", "");
    std::filesystem::create_directory(dir.Path("folder"));
    const struct {
        ByteString path;
        bool expected;
    } cases[] = {
        {dir.PathBytes("plain.bin"), true},
        {dir.PathBytes("empty.bin"), true},
        {dir.PathBytes("folder"), false},
        {dir.PathBytes("missing.bin"), false},
        {dir.PathBytes("missing-folder/plain.bin"), false},
        {ByteString(""), false},
        {ByteString(), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.CStr());
        EXPECT_EQ(IsExistingFile(c.path), c.expected);
    }
}

TEST_F(FileStreamTest, SeeksOnA390ByteFile) {
    Bytes data = Pattern(390);
    std::string path = Make("f390.bin", data);
    const uint32_t bad = InvalidPosition;
    // Each case runs from position 10.
    const struct {
        int32_t offset;
        SeekOrigin origin;
        uint32_t result, positionAfter;
    } cases[] = {
        {-4, SeekOrigin::End, 386, 386},
        {0, SeekOrigin::End, 390, 390},
        {0, SeekOrigin::Beginning, 0, 0},
        {5, SeekOrigin::Current, 15, 15},
        {-10, SeekOrigin::Current, 0, 0},
        {400, SeekOrigin::End, 790, 790},      // beyond the end: allowed, no growth yet
        {-1, SeekOrigin::Beginning, bad, 10},  // before the start: refused, position kept
        {-391, SeekOrigin::End, bad, 10},
        {-11, SeekOrigin::Current, bad, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << " from " << int(c.origin));
        Holder h(OpenReadOnlyFileStream(ToByteString(path)));
        ASSERT_EQ(SetStreamPosition(h.s, 10), 10u);
        EXPECT_EQ(StreamSeek(h.s, c.offset, c.origin), c.result);
        EXPECT_EQ(StreamPosition(h.s), c.positionAfter);
        EXPECT_EQ(StreamGetSize(h.s), 390u);
    }
    Holder h(OpenReadOnlyFileStream(ToByteString(path)));
    ASSERT_EQ(StreamSeek(h.s, -4, SeekOrigin::End), 386u);
    char tail[8];
    EXPECT_EQ(StreamRead(h.s, tail, sizeof tail), 4u);  // short read at the end
    EXPECT_EQ(Bytes(tail, 4), data.substr(386));
    EXPECT_EQ(StreamRead(h.s, tail, sizeof tail), 0u);
}

TEST_F(FileStreamTest, ReadOnlyStreamRefusesWritesAndSetSize) {
    Bytes data = Pattern(100);
    std::string path = Make("ro.bin", data);
    Holder h(OpenReadOnlyFileStream(ToByteString(path)));
    ASSERT_TRUE(IsValidFileHandle(h.s->fileHandle));
    EXPECT_EQ(h.s->block, nullptr);
    EXPECT_EQ(StreamWrite(h.s, "zz", 2), 0u);
    EXPECT_FALSE(StreamSetSize(h.s, 10));
    EXPECT_FALSE(StreamSetSize(h.s, 1000));
    EXPECT_EQ(StreamGetSize(h.s), 100u);
    char buffer[5];
    EXPECT_EQ(StreamRead(h.s, buffer, 5), 5u);
    EXPECT_EQ(Bytes(buffer, 5), data.substr(0, 5));
    Release(h.s);
    h.s = nullptr;
    EXPECT_EQ(ReadAll(path), data);
}

TEST_F(FileStreamTest, ReadWriteStreamCreatesAMissingFileEmpty) {
    std::string path = dir.Path("new.bin");
    ASSERT_FALSE(IsExistingFile(ToByteString(path)));
    {
        Holder h(OpenReadWriteFileStream(ToByteString(path)));
        ASSERT_TRUE(IsValidFileHandle(h.s->fileHandle));
        EXPECT_EQ(StreamGetSize(h.s), 0u);
        EXPECT_TRUE(IsExistingFile(ToByteString(path)));
        EXPECT_EQ(StreamWrite(h.s, "hello", 5), 5u);
    }
    EXPECT_EQ(ReadAll(path), "hello");
}

TEST_F(FileStreamTest, ReadWriteStreamKeepsAnExistingFileAndOverwritesInPlace) {
    std::string path = Make("keep.bin", "0123456789");
    {
        Holder h(OpenReadWriteFileStream(ToByteString(path)));
        EXPECT_EQ(StreamGetSize(h.s), 10u);
        EXPECT_EQ(SetStreamPosition(h.s, 2), 2u);
        EXPECT_EQ(StreamWrite(h.s, "XY", 2), 2u);
        EXPECT_EQ(StreamPosition(h.s), 4u);
        // A write beyond the end extends the file; the gap reads as zeros.
        EXPECT_EQ(SetStreamPosition(h.s, 12), 12u);
        EXPECT_EQ(StreamWrite(h.s, "E", 1), 1u);
    }
    EXPECT_EQ(ReadAll(path), Bytes("01XY456789\0\0E", 13));
}

TEST_F(FileStreamTest, SetSizeCutsOrExtendsAndKeepsThePositionAtMostTheSize) {
    const struct {
        uint32_t position, newSize, positionAfter;
    } cases[] = {
        {60, 40, 40}, {60, 200, 60}, {10, 0, 0}, {100, 100, 100}, {0, 1, 0}, {150, 120, 120}, {150, 200, 150},
    };
    Bytes data = Pattern(100, 9);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "at " << c.position << " size " << c.newSize);
        std::string path = Make("size.bin", data);
        {
            Holder h(OpenReadWriteFileStream(ToByteString(path)));
            ASSERT_EQ(SetStreamPosition(h.s, static_cast<int32_t>(c.position)), c.position);
            EXPECT_TRUE(StreamSetSize(h.s, c.newSize));
            EXPECT_EQ(StreamGetSize(h.s), c.newSize);
            EXPECT_EQ(StreamPosition(h.s), c.positionAfter);
        }
        Bytes expected = data.substr(0, c.newSize);
        expected.resize(c.newSize, '\0');
        EXPECT_EQ(ReadAll(path), expected);
    }
}

TEST_F(FileStreamTest, SetSizeThatCannotSeekLeavesTheFileAlone) {
    Bytes data = Pattern(100, 4);
    std::string path = Make("big.bin", data);
    {
        Holder h(OpenReadWriteFileStream(ToByteString(path)));
        ASSERT_EQ(SetStreamPosition(h.s, 30), 30u);
        // A size of 4 GiB - 1 cannot be a position: no SetEndOfFile may run
        // at the old position.
        EXPECT_FALSE(StreamSetSize(h.s, 0xFFFFFFFFu));
        EXPECT_EQ(StreamPosition(h.s), 30u);
        EXPECT_EQ(StreamGetSize(h.s), 100u);
    }
    EXPECT_EQ(ReadAll(path), data);
}

TEST_F(FileStreamTest, StreamsOnFilesThatCannotBeOpenedFailQuietly) {
    std::filesystem::create_directory(dir.Path("folder"));
    const ByteString paths[] = {
        dir.PathBytes("missing.bin"),          // read-only: missing
        dir.PathBytes("no-such-dir/x.bin"),    // read-write: cannot be created
        dir.PathBytes("folder"),               // a directory is not a file
        ByteString(""),
    };
    for (const ByteString& path : paths) {
        SCOPED_TRACE(path.CStr());
        for (int readWrite = 0; readWrite < 2; ++readWrite) {
            if (readWrite && path == dir.PathBytes("missing.bin")) continue;  // that one gets created
            Holder h(readWrite ? OpenReadWriteFileStream(path) : OpenReadOnlyFileStream(path));
            ASSERT_NE(h.s, nullptr);
            EXPECT_FALSE(IsValidFileHandle(h.s->fileHandle));
            char c = 'q';
            EXPECT_EQ(StreamSeek(h.s, 0, SeekOrigin::End), InvalidPosition);
            EXPECT_EQ(StreamGetSize(h.s), 0u);
            EXPECT_EQ(StreamRead(h.s, &c, 1), 0u);
            EXPECT_EQ(StreamWrite(h.s, &c, 1), 0u);
            EXPECT_FALSE(StreamSetSize(h.s, 5));
        }
    }
    EXPECT_FALSE(IsExistingFile(dir.PathBytes("no-such-dir/x.bin")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path("folder")));
}

// FILE_SHARE_READ only: a second opener may not write while a writer is open,
// and nobody may open for writing while a reader is; readers coexist. On
// POSIX this is the emulation, on Windows the real thing.
TEST_F(FileStreamTest, ShareReadOnlyKeepsWritersApart) {
    std::string path = Make("shared.bin", "abc");
    ByteString p = ToByteString(path);
    {
        Holder writer(OpenReadWriteFileStream(p));
        ASSERT_TRUE(IsValidFileHandle(writer.s->fileHandle));
        Holder second(OpenReadWriteFileStream(p));
        EXPECT_FALSE(IsValidFileHandle(second.s->fileHandle));
        Holder reader(OpenReadOnlyFileStream(p));
        EXPECT_FALSE(IsValidFileHandle(reader.s->fileHandle));
        // A refused create-always open must not have emptied the file.
        FileHandle truncating = OpenFileHandle(p, OpenModeReadWriteCreate);
        EXPECT_FALSE(IsValidFileHandle(truncating));
        if (IsValidFileHandle(truncating)) CloseFileHandle(truncating);
        EXPECT_EQ(StreamGetSize(writer.s), 3u);
    }
    {
        Holder reader1(OpenReadOnlyFileStream(p));
        Holder reader2(OpenReadOnlyFileStream(p));
        EXPECT_TRUE(IsValidFileHandle(reader1.s->fileHandle));
        EXPECT_TRUE(IsValidFileHandle(reader2.s->fileHandle));
        Holder writer(OpenReadWriteFileStream(p));
        EXPECT_FALSE(IsValidFileHandle(writer.s->fileHandle));
    }
    // Every handle above was closed by its stream's release.
    Holder writer(OpenReadWriteFileStream(p));
    EXPECT_TRUE(IsValidFileHandle(writer.s->fileHandle));
    EXPECT_EQ(ReadAll(path), "abc");
}

TEST_F(FileStreamTest, CopyFileOverwrite) {
    Bytes big = Pattern(1 << 20, 5);
    Bytes larger = Pattern(20 << 20, 6);  // several steps of the copy
    std::filesystem::create_directory(dir.Path("folder"));
    const struct {
        const char* name;
        Bytes sourceBytes;       // written to src.bin unless "<none>"
        const char* source;
        const char* destination;
        Bytes before;            // destination contents before, "<missing>" for none
        bool expected;
    } cases[] = {
        {"new destination", "payload", "src.bin", "dst.bin", "<missing>", true},
        {"overwrites a longer file", "short", "src.bin", "dst.bin", Pattern(5000), true},
        {"empty source", "", "src.bin", "dst.bin", "old", true},
        {"one MiB", big, "src.bin", "dst.bin", "<missing>", true},
        {"twenty MiB over a smaller file", larger, "src.bin", "dst.bin", Pattern(7000), true},
        {"missing source", "<none>", "src.bin", "dst.bin", "old", false},
        {"source is a directory", "<none>", "folder", "dst.bin", "old", false},
        {"destination is a directory", "data", "src.bin", "folder", "<missing>", false},
        {"onto itself", "precious", "src.bin", "src.bin", "precious", false},
        {"destination folder missing", "data", "src.bin", "none/dst.bin", "<missing>", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir.Path("src.bin"));
        std::filesystem::remove(dir.Path("dst.bin"));
        if (c.sourceBytes != "<none>") Make("src.bin", c.sourceBytes);
        if (c.before != "<missing>" && std::string(c.destination) != c.source)
            Make(c.destination, c.before);
        std::vector<std::pair<uint32_t, uint32_t>> steps;
        auto note = [](void* context, uint32_t done, uint32_t total) {
            static_cast<std::vector<std::pair<uint32_t, uint32_t>>*>(context)->emplace_back(done, total);
        };
        bool ok = CopyFileOverwrite(dir.PathBytes(c.source), dir.PathBytes(c.destination), note, &steps);
        EXPECT_EQ(ok, c.expected);
        if (c.expected) {
            EXPECT_EQ(ReadAll(dir.Path(c.destination)), c.sourceBytes);
            // Progress climbs to the whole size, in more than one step for
            // a large file.
            const uint32_t size = static_cast<uint32_t>(c.sourceBytes.size());
            EXPECT_EQ(steps.empty() ? 0u : steps.back().first, size);
            for (size_t i = 0; i < steps.size(); ++i) {
                EXPECT_EQ(steps[i].second, size);
                if (i) EXPECT_GT(steps[i].first, steps[i - 1].first);
            }
            if (size > (8u << 20)) EXPECT_GE(steps.size(), 3u);  // steps of at most 8 MiB
        } else if (!std::filesystem::is_directory(dir.Path(c.destination))) {
            EXPECT_EQ(ReadAll(dir.Path(c.destination)), c.before);
        }
        if (c.sourceBytes != "<none>") {
            EXPECT_EQ(ReadAll(dir.Path("src.bin")), c.sourceBytes);
        }
    }
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path("folder")));
}

TEST(TickCountClock, MeasuresElapsedMilliseconds) {
    uint32_t start = TickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    uint32_t elapsed = TickCount() - start;
    EXPECT_GE(elapsed, 90u);  // GetTickCount resolution is 10-16 ms
    EXPECT_LT(elapsed, 5000u);
}

}  // namespace
