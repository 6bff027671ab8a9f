// Memory streams: growth in 16 KiB steps, seeks, reads, SetSize, and the
// refusals that keep sizes inside 32 bits and survive a refusing heap.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "patch/byte_stream.h"
#include "stream_test_files.h"

using streamtest::Bytes;
using streamtest::Contents;
using streamtest::MemoryWith;
using streamtest::Pattern;

namespace {


struct Holder {
    ByteStream* s;
    explicit Holder(ByteStream* stream) : s(stream) {}
    ~Holder() { Release(s); }
};

TEST(MemoryStream, NewStreamIsEmptyAndReadsNothing) {
    Holder h(CreateMemoryStream());
    ASSERT_NE(h.s, nullptr);
    EXPECT_EQ(h.s->methods, &h.s->ownMethods);
    EXPECT_EQ(h.s->block, nullptr);
    EXPECT_EQ(h.s->capacity, 0u);
    EXPECT_EQ(StreamGetSize(h.s), 0u);
    EXPECT_EQ(StreamPosition(h.s), 0u);
    char buffer[8] = {'x'};
    EXPECT_EQ(StreamRead(h.s, buffer, sizeof buffer), 0u);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(h.s->fileHandle, nullptr);
}

struct GrowthCase {
    const char* name;
    std::vector<uint32_t> writes;  // sizes of successive writes from position 0 onwards
    uint32_t capacity, size;
};

TEST(MemoryStream, GrowsToTheNextMultipleOf16KiBStrictlyAboveTheSize) {
    const GrowthCase cases[] = {
        {"one byte", {1}, 16384, 1},
        {"16 KiB - 1", {16383}, 16384, 16383},
        {"exactly 16 KiB", {16384}, 32768, 16384},
        // Growth happens only when the capacity is below the new size: a
        // block filled exactly to 16 KiB is not grown by the write that fills it.
        {"16 KiB - 1 then one more", {16383, 1}, 16384, 16384},
        {"16 KiB - 1, one, one", {16383, 1, 1}, 32768, 16385},
        {"three of 10000", {10000, 10000, 10000}, 32768, 30000},
        {"32 KiB + 1", {32769}, 49152, 32769},
    };
    for (const GrowthCase& c : cases) {
        SCOPED_TRACE(c.name);
        Holder h(CreateMemoryStream());
        Bytes expected;
        unsigned seed = 1;
        for (uint32_t n : c.writes) {
            Bytes chunk = Pattern(n, seed++);
            EXPECT_EQ(StreamWrite(h.s, chunk.data(), n), n);
            expected += chunk;
        }
        EXPECT_EQ(h.s->capacity, c.capacity);
        EXPECT_EQ(h.s->size, c.size);
        EXPECT_EQ(h.s->position, c.size);
        EXPECT_EQ(Contents(h.s), expected);
    }
}

TEST(MemoryStream, SetSizeCapacitySteps) {
    const struct {
        uint32_t n, capacity;
    } cases[] = {{1, 16384}, {0x3FFF, 16384}, {0x4000, 32768}, {0x4001, 32768}, {100000, 114688}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        Holder h(CreateMemoryStream());
        EXPECT_TRUE(StreamSetSize(h.s, c.n));
        EXPECT_EQ(h.s->capacity, c.capacity);
        EXPECT_EQ(StreamGetSize(h.s), c.n);
        EXPECT_EQ(StreamPosition(h.s), 0u);
    }
}

int reallocCalls;
void* CountingRealloc(void* block, size_t size) {
    ++reallocCalls;
    return realloc(block, size);
}
void* RefusingRealloc(void*, size_t) { return nullptr; }

class ReallocGuard {
public:
    explicit ReallocGuard(StreamReallocFunction f) : old_(SetStreamReallocFunction(f)) {}
    ~ReallocGuard() { SetStreamReallocFunction(old_); }

private:
    StreamReallocFunction old_;
};

TEST(MemoryStream, SmallWritesReallocateOncePer16KiB) {
    ReallocGuard guard(CountingRealloc);
    reallocCalls = 0;
    Holder h(CreateMemoryStream());
    for (int i = 0; i < 100000; ++i) {
        char c = static_cast<char>(i);
        ASSERT_EQ(StreamWrite(h.s, &c, 1), 1u);
    }
    // 100000 bytes end in the seventh 16 KiB step.
    EXPECT_EQ(reallocCalls, 7);
    EXPECT_EQ(h.s->capacity, 7u * 16384);
    EXPECT_EQ(static_cast<unsigned char>(h.s->block[99999]), 99999u & 0xFF);
}

struct SeekCase {
    int32_t offset;
    SeekOrigin origin;
    uint32_t result, size, position;
};

TEST(MemoryStream, SeekFromEachOrigin) {
    // Each case starts from "ABCDE" with the position at 3.
    const uint32_t bad = InvalidPosition;
    const SeekCase cases[] = {
        {10, SeekOrigin::End, 15, 15, 15},        // past the end: grows
        {-2, SeekOrigin::End, 3, 5, 3},
        {0, SeekOrigin::End, 5, 5, 5},
        {-1, SeekOrigin::Current, 2, 5, 2},
        {2, SeekOrigin::Current, 5, 5, 5},
        {4, SeekOrigin::Current, 7, 7, 7},
        {0, SeekOrigin::Beginning, 0, 5, 0},
        {9, SeekOrigin::Beginning, 9, 9, 9},
        {-1, SeekOrigin::Beginning, bad, 5, 3},   // negative: refused
        {-6, SeekOrigin::End, bad, 5, 3},
        {-4, SeekOrigin::Current, bad, 5, 3},
        {1, static_cast<SeekOrigin>(3), bad, 5, 3},  // no such origin
    };
    for (const SeekCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << " from " << int(c.origin));
        Holder h(MemoryWith("ABCDEFGHIJKLMNOP", 3));
        ASSERT_TRUE(StreamSetSize(h.s, 5));  // stale bytes stay in the block
        EXPECT_EQ(StreamSeek(h.s, c.offset, c.origin), c.result);
        EXPECT_EQ(h.s->size, c.size);
        EXPECT_EQ(h.s->position, c.position);
        EXPECT_EQ(Contents(h.s).substr(0, 5), "ABCDE");
        // A grown gap reads as zeros, whatever the block held before.
        if (c.size > 5) EXPECT_EQ(Contents(h.s).substr(5), std::string(c.size - 5, '\0'));
    }
}

TEST(MemoryStream, ReadsCutAtTheEnd) {
    const struct {
        uint32_t position, count;
        const char* expected;
        uint32_t after;
    } cases[] = {
        {0, 4, "ABCD", 4}, {8, 5, "IJ", 10}, {10, 1, "", 10}, {3, 0, "", 3}, {0, 10, "ABCDEFGHIJ", 10},
        {9, 0xFFFFFFFFu, "J", 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.position << "+" << c.count);
        Holder h(MemoryWith("ABCDEFGHIJ", c.position));
        char buffer[16];
        memset(buffer, '#', sizeof buffer);
        // The buffer is only as large as the bytes that remain: an oversized
        // count must be cut before anything is copied.
        uint32_t got = StreamRead(h.s, buffer, c.count);
        EXPECT_EQ(Bytes(buffer, got), c.expected);
        EXPECT_EQ(buffer[got], '#');
        EXPECT_EQ(h.s->position, c.after);
    }
}

TEST(MemoryStream, SetSizeMovesThePositionDownOnly) {
    const struct {
        uint32_t position, newSize, expectedPosition, expectedCapacity;
        const char* keptPrefix;
    } cases[] = {
        {8, 4, 4, 16384, "ABCD"},         // below the position: position follows
        {8, 20, 8, 16384, "ABCDEFGHIJ"},  // above: position stays
        {10, 10, 10, 16384, "ABCDEFGHIJ"},
        {2, 5, 2, 16384, "ABCDE"},
        {8, 0, 0, 0, ""},                 // 0 frees the block
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.newSize);
        Holder h(MemoryWith("ABCDEFGHIJ", c.position));
        EXPECT_TRUE(StreamSetSize(h.s, c.newSize));
        EXPECT_EQ(StreamGetSize(h.s), c.newSize);
        EXPECT_EQ(StreamPosition(h.s), c.expectedPosition);
        EXPECT_EQ(h.s->capacity, c.expectedCapacity);
        EXPECT_EQ(h.s->block == nullptr, c.newSize == 0);
        EXPECT_EQ(Contents(h.s).substr(0, strlen(c.keptPrefix)), c.keptPrefix);
    }
}

TEST(MemoryStream, WriteAfterSetSizeZeroAllocatesAgain) {
    Holder h(MemoryWith("ABCDEFGHIJ", 10));
    ASSERT_TRUE(StreamSetSize(h.s, 0));
    ASSERT_EQ(h.s->block, nullptr);
    EXPECT_EQ(StreamWrite(h.s, "xy", 2), 2u);
    EXPECT_EQ(h.s->capacity, 16384u);
    EXPECT_EQ(Contents(h.s), "xy");
}

TEST(MemoryStream, WriteOverwritesInPlaceAndExtends) {
    Holder h(MemoryWith("ABCDEFGHIJ", 8));
    EXPECT_EQ(StreamWrite(h.s, "1234", 4), 4u);
    EXPECT_EQ(Contents(h.s), "ABCDEFGH1234");
    SetStreamPosition(h.s, 1);
    EXPECT_EQ(StreamWrite(h.s, "z", 1), 1u);
    EXPECT_EQ(Contents(h.s), "AzCDEFGH1234");
    EXPECT_EQ(StreamPosition(h.s), 2u);
    EXPECT_EQ(StreamWrite(h.s, "q", 0), 0u);
    EXPECT_EQ(StreamGetSize(h.s), 12u);
}

// Operations that must be refused without touching the stream, run against a
// stream of 100 known bytes positioned at 50.
struct RefusalCase {
    const char* name;
    bool (*run)(ByteStream* s);  // true when the operation reported refusal
};

const Bytes hundred = Pattern(100, 7);

TEST(MemoryStream, SizesThatWouldWrap32BitsAreRefused) {
    const RefusalCase cases[] = {
        {"SetSize 0xFFFFFFFF", [](ByteStream* s) { return !StreamSetSize(s, 0xFFFFFFFFu); }},
        {"SetSize 0xFFFFC000 (step wraps to 0)", [](ByteStream* s) { return !StreamSetSize(s, 0xFFFFC000u); }},
        {"SetSize 0xFFFFFFFE", [](ByteStream* s) { return !StreamSetSize(s, 0xFFFFFFFEu); }},
        {"Seek -1 from Beginning", [](ByteStream* s) { return StreamSeek(s, -1, SeekOrigin::Beginning) == InvalidPosition; }},
        {"Seek -101 from End", [](ByteStream* s) { return StreamSeek(s, -101, SeekOrigin::End) == InvalidPosition; }},
        {"Seek -51 from Current", [](ByteStream* s) { return StreamSeek(s, -51, SeekOrigin::Current) == InvalidPosition; }},
        {"Seek INT32_MIN from End", [](ByteStream* s) { return StreamSeek(s, INT32_MIN, SeekOrigin::End) == InvalidPosition; }},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        Holder h(MemoryWith(hundred, 50));
        EXPECT_TRUE(c.run(h.s));
        EXPECT_EQ(h.s->size, 100u);
        EXPECT_EQ(h.s->position, 50u);
        EXPECT_EQ(h.s->capacity, 16384u);
        EXPECT_EQ(Contents(h.s), hundred);
    }
}

// A stream whose size and position sit just below 4 GiB. The state is set
// directly (nobody can allocate that much here); every case must be refused
// by its arithmetic before the block is touched.
TEST(MemoryStream, GrowthPast4GiBIsRefusedBeforeAnyCopy) {
    const uint32_t nearTop = 0xFFFFFF00u;
    const RefusalCase cases[] = {
        {"Write 0x100 (end wraps to 0)", [](ByteStream* s) { return StreamWrite(s, hundred.data(), 0x100) == 0; }},
        {"Write 0xFF (end 0xFFFFFFFF)", [](ByteStream* s) { return StreamWrite(s, hundred.data(), 0xFF) == 0; }},
        {"Write 0xFFFFFFFF", [](ByteStream* s) { return StreamWrite(s, hundred.data(), 0xFFFFFFFFu) == 0; }},
        {"Seek +0x100 from Current", [](ByteStream* s) { return StreamSeek(s, 0x100, SeekOrigin::Current) == InvalidPosition; }},
        {"Seek +0xFF from End", [](ByteStream* s) { return StreamSeek(s, 0xFF, SeekOrigin::End) == InvalidPosition; }},
        {"Seek INT32_MAX from End", [](ByteStream* s) { return StreamSeek(s, INT32_MAX, SeekOrigin::End) == InvalidPosition; }},
        {"SetSize 0xFFFFFFFF", [](ByteStream* s) { return !StreamSetSize(s, 0xFFFFFFFFu); }},
        {"Copy 0x100 from a memory stream",
         [](ByteStream* s) {
             ByteStream* source = MemoryWith(hundred, 0);
             bool refused = CopyStreamBytes(s, source, 0x100) == 0 && source->position == 0;
             Release(source);
             return refused;
         }},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        ByteStream* s = CreateMemoryStream();
        uint8_t* sentinel = static_cast<uint8_t*>(malloc(16));
        memset(sentinel, 0x5A, 16);
        s->block = sentinel;
        s->capacity = nearTop;
        s->size = nearTop;
        s->position = nearTop;
        EXPECT_TRUE(c.run(s));
        EXPECT_EQ(s->block, sentinel);
        EXPECT_EQ(s->size, nearTop);
        EXPECT_EQ(s->position, nearTop);
        EXPECT_EQ(s->capacity, nearTop);
        EXPECT_EQ(Bytes(reinterpret_cast<char*>(sentinel), 16), Bytes(16, 0x5A));
        s->capacity = 16;  // back to the truth before the block is freed
        s->size = s->position = 0;
        Release(s);
    }
}

TEST(MemoryStream, RefusedHeapGrowthLeavesTheStreamIntact) {
    const RefusalCase cases[] = {
        {"Write that needs a bigger block",
         [](ByteStream* s) {
             Bytes big = Pattern(20000, 3);
             return StreamWrite(s, big.data(), 20000) == 0;
         }},
        {"SetSize above the capacity", [](ByteStream* s) { return !StreamSetSize(s, 16385); }},
        {"Seek past the capacity", [](ByteStream* s) { return StreamSeek(s, 40000, SeekOrigin::Beginning) == InvalidPosition; }},
        {"Copy into it from a blockless stream",
         [](ByteStream* s) {
             ByteStream* empty = CreateMemoryStream();  // no block: the direct-read path
             bool refused = CopyStreamBytes(s, empty, 20000) == 0;
             Release(empty);
             return refused;
         }},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        Holder h(MemoryWith(hundred, 50));
        {
            ReallocGuard refuse(RefusingRealloc);
            EXPECT_TRUE(c.run(h.s));
        }
        EXPECT_EQ(h.s->size, 100u);
        EXPECT_EQ(h.s->position, 50u);
        EXPECT_EQ(h.s->capacity, 16384u);
        EXPECT_EQ(Contents(h.s), hundred);
        // Still usable once the heap gives again.
        EXPECT_EQ(StreamWrite(h.s, "ok", 2), 2u);
        EXPECT_EQ(Contents(h.s).substr(50, 2), "ok");
    }
}

TEST(MemoryStream, RefusedFirstAllocationLeavesAnEmptyStream) {
    Holder h(CreateMemoryStream());
    {
        ReallocGuard refuse(RefusingRealloc);
        EXPECT_EQ(StreamWrite(h.s, "a", 1), 0u);
        EXPECT_EQ(StreamSeek(h.s, 1, SeekOrigin::Beginning), InvalidPosition);
    }
    EXPECT_EQ(h.s->block, nullptr);
    EXPECT_EQ(h.s->capacity, 0u);
    EXPECT_EQ(h.s->size, 0u);
    EXPECT_EQ(h.s->position, 0u);
}

TEST(MemoryStream, NullStreamGivesFailureResults) {
    char c;
    EXPECT_EQ(StreamSeek(nullptr, 0, SeekOrigin::Beginning), InvalidPosition);
    EXPECT_EQ(StreamGetSize(nullptr), 0u);
    EXPECT_FALSE(StreamSetSize(nullptr, 1));
    EXPECT_EQ(StreamRead(nullptr, &c, 1), 0u);
    EXPECT_EQ(StreamWrite(nullptr, &c, 1), 0u);
    EXPECT_EQ(StreamPosition(nullptr), InvalidPosition);
    EXPECT_TRUE(ReadStreamText(nullptr, 5).Empty());
}

TEST(MemoryStream, ReleaseRunsCloseThroughTheStreamsOwnTable) {
    static int closes;
    closes = 0;
    ByteStream* s = CreateMemoryStream();
    StreamWrite(s, "abc", 3);
    s->ownMethods.Close = [](ByteStream* stream) {
        ++closes;
        MemoryStreamTable.Close(stream);
    };
    static bool destroyed;
    destroyed = false;
    s->OnDestroy.code = [](void*, RefObject*) { destroyed = true; };
    Release(s);
    EXPECT_EQ(closes, 1);
    EXPECT_TRUE(destroyed);
}

}  // namespace
