// CopyStreamBytes on each of its three paths, and ReadStreamText, over
// memory streams and real files.
#include <gtest/gtest.h>

#include <string>

#include "patch/byte_stream.h"
#include "stream_test_files.h"

using streamtest::Bytes;
using streamtest::Contents;
using streamtest::MemoryWith;
using streamtest::FromByteString;
using streamtest::ReadAll;
using streamtest::TempDir;
using streamtest::WriteAll;

namespace {


class StreamCopyTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.Ok()); }
    // A read-only file stream over data, positioned at position.
    ByteStream* FileWith(const Bytes& data, uint32_t position) {
        std::string path = dir.Path("source" + std::to_string(++files) + ".bin");
        EXPECT_TRUE(WriteAll(path, data));
        ByteStream* s = OpenReadOnlyFileStream(streamtest::ToByteString(path));
        SetStreamPosition(s, static_cast<int32_t>(position));
        return s;
    }
    TempDir dir;
    int files = 0;
};

const Bytes digits = "0123456789";

struct CopyCase {
    const char* name;
    bool sourceInMemory;
    uint32_t sourcePosition;
    Bytes destinationBefore;   // empty: a new memory stream without a block
    uint32_t destinationPosition;
    uint32_t count;
    uint32_t transferred;
    Bytes destinationAfter;
    uint32_t destinationPositionAfter;
    uint32_t sourcePositionAfter;
};

TEST_F(StreamCopyTest, EachPathMovesTheRightBytes) {
    const CopyCase cases[] = {
        // 1. The source has a block: written straight out of it, cut to what it holds.
        {"memory to new memory", true, 2, "", 0, 5, 5, "23456", 5, 7},
        {"memory, count cut to the rest", true, 2, "", 0, 100, 8, "23456789", 8, 10},
        {"memory at its end", true, 10, "", 0, 4, 0, "", 0, 10},
        {"memory into the middle of memory", true, 0, "abcdef", 2, 3, 3, "ab012f", 5, 3},
        // 2. Only the destination has a block: read straight into it.
        {"file into memory, growing", false, 0, "abc", 1, 4, 4, "a0123", 5, 4},
        {"file into memory, inside", false, 5, "abcdef", 0, 3, 3, "567def", 3, 8},
        // A short read takes back the size it was given for the full count.
        {"file into memory, short read", false, 8, "abc", 1, 10, 2, "a89", 3, 10},
        {"file at its end into memory", false, 10, "abc", 3, 5, 0, "abc", 3, 10},
        // 3. Neither has a block: one buffer of the full count.
        {"file to new memory", false, 3, "", 0, 4, 4, "3456", 4, 7},
        {"file to new memory, short", false, 3, "", 0, 100, 7, "3456789", 7, 10},
        {"file at its end to new memory", false, 10, "", 0, 100, 0, "", 0, 10},
        {"count 0", false, 0, "", 0, 0, 0, "", 0, 0},
        {"count 0 from memory", true, 0, "xy", 0, 0, 0, "xy", 0, 0},
    };
    for (const CopyCase& c : cases) {
        SCOPED_TRACE(c.name);
        ByteStream* source = c.sourceInMemory ? MemoryWith(digits, c.sourcePosition)
                                              : FileWith(digits, c.sourcePosition);
        ByteStream* destination = MemoryWith(c.destinationBefore, c.destinationPosition);
        EXPECT_EQ(CopyStreamBytes(destination, source, c.count), c.transferred);
        EXPECT_EQ(Contents(destination), c.destinationAfter);
        EXPECT_EQ(StreamGetSize(destination), c.destinationAfter.size());
        EXPECT_EQ(StreamPosition(destination), c.destinationPositionAfter);
        EXPECT_EQ(StreamPosition(source), c.sourcePositionAfter);
        if (!c.destinationAfter.empty()) {
            EXPECT_EQ(destination->capacity, (static_cast<uint32_t>(c.destinationAfter.size()) | 0x3FFFu) + 1);
        }
        Release(source);
        Release(destination);
    }
}

TEST_F(StreamCopyTest, FileToFileAndMemoryToFile) {
    std::string target = dir.Path("target.bin");
    ByteStream* out = OpenReadWriteFileStream(streamtest::ToByteString(target));
    ByteStream* file = FileWith(digits, 6);
    EXPECT_EQ(CopyStreamBytes(out, file, 3), 3u);  // third path
    ByteStream* memory = MemoryWith("ABCDEFGH", 1);
    EXPECT_EQ(CopyStreamBytes(out, memory, 4), 4u);  // first path, into a file
    EXPECT_EQ(StreamPosition(memory), 5u);
    ByteStream* readOnly = FileWith(digits, 0);
    EXPECT_EQ(CopyStreamBytes(readOnly, memory, 2), 0u);  // a read-only file takes nothing
    EXPECT_EQ(StreamPosition(memory), 5u);
    Release(out);
    Release(file);
    Release(memory);
    Release(readOnly);
    EXPECT_EQ(ReadAll(target), "678BCDE");
}

TEST_F(StreamCopyTest, SelfAndNullCopiesTransferNothing) {
    ByteStream* s = MemoryWith(digits, 3);
    EXPECT_EQ(CopyStreamBytes(s, s, 4), 0u);
    EXPECT_EQ(Contents(s), digits);
    EXPECT_EQ(StreamPosition(s), 3u);
    EXPECT_EQ(CopyStreamBytes(nullptr, s, 4), 0u);
    EXPECT_EQ(CopyStreamBytes(s, nullptr, 4), 0u);
    EXPECT_EQ(StreamPosition(s), 3u);
    Release(s);
}

TEST_F(StreamCopyTest, ReadStreamTextCutsToTheBytesRead) {
    const struct {
        bool inMemory;
        uint32_t position, count;
        const char* expected;
        uint32_t positionAfter;
    } cases[] = {
        {true, 6, 5, "world", 11},   {true, 6, 100, "world", 11}, {true, 0, 0, "", 0},
        {true, 11, 3, "", 11},       {true, 0, 0xFFFFFFFFu, "hello world", 11},
        {false, 6, 5, "world", 11},  {false, 6, 100, "world", 11}, {false, 11, 3, "", 11},
        {false, 0, 0xFFFFFFFFu, "hello world", 11}, {false, 20, 3, "", 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.inMemory ? "memory " : "file ") << c.position << "+" << c.count);
        ByteStream* s = c.inMemory ? MemoryWith("hello world", c.position) : FileWith("hello world", c.position);
        ByteString text = ReadStreamText(s, c.count);
        EXPECT_EQ(FromByteString(text), c.expected);
        EXPECT_EQ(text.Length(), strlen(c.expected));
        EXPECT_EQ(StreamPosition(s), c.positionAfter);
        Release(s);
    }
}

TEST_F(StreamCopyTest, TextKeepsEveryByteValue) {
    Bytes all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    ByteStream* s = MemoryWith(all, 0);
    ByteString text = ReadStreamText(s, 256);
    EXPECT_EQ(FromByteString(text), all);
    Release(s);
}

}  // namespace
