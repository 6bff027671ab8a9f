// Byte streams: a file on disk or a growable block of memory behind the same
// six operations. Every stream carries its own copy of its operations table;
// constructors replace single slots in that copy.
//
// Positions are 32-bit; sizes are 64-bit, so a file of 4 GiB or more is
// neither taken for a small one nor cut (a patch writes below 16 MiB, and
// nothing else of such a file changes). No operation reports an error other
// than through its result: a position of InvalidPosition (0xFFFFFFFF), a
// count of 0, a size of 0, or false from SetSize.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "base/byte_string.h"
#include "platform/file_handle.h"
#include "base/ref_object.h"

class ByteStream;

struct StreamMethods {
    // Returns the new position, or InvalidPosition when the seek is refused
    // (the position is then unchanged).
    uint32_t (*Seek)(ByteStream* stream, int32_t offset, SeekOrigin origin);
    uint64_t (*GetSize)(ByteStream* stream);
    // False when the size could not be set; the stream is then unchanged.
    bool (*SetSize)(ByteStream* stream, uint64_t newSize);
    // Both return the number of bytes actually moved.
    uint32_t (*Read)(ByteStream* stream, void* buffer, uint32_t count);
    uint32_t (*Write)(ByteStream* stream, const void* buffer, uint32_t count);
    // Releases the handle or the block; called only when the stream goes.
    void (*Close)(ByteStream* stream);
};

class ByteStream : public RefObject {
public:
    // Close through the stream's own table, then DisposeBase.
    void Teardown() override;

    StreamMethods* methods;     // points at ownMethods
    StreamMethods ownMethods;
    uint8_t* block;             // memory stream: the data, null while capacity is 0
    FileHandle fileHandle;      // file stream: owned handle (invalid when the open failed)
    uint32_t capacity;          // memory stream: bytes allocated in block
    uint32_t size;              // memory stream: bytes of data, never above capacity
    uint32_t position;          // memory stream: never above size
};

// The two tables. The file table's SetSize does nothing and its Read and
// Write return 0; the file constructors fill those slots in as they need.
extern const StreamMethods FileStreamTable;
extern const StreamMethods MemoryStreamTable;

// A zero-filled stream with its own copy of table; null when the heap refuses.
ByteStream* CreateStream(const StreamMethods& table);

// Opens an existing file keeping its contents, or creates a missing one
// empty; read-write, FILE_SHARE_READ. Writes overwrite in place.
ByteStream* OpenReadWriteFileStream(const ByteString& path);
// Read-only, FILE_SHARE_READ; Write returns 0 and SetSize does nothing.
ByteStream* OpenReadOnlyFileStream(const ByteString& path);
// The same over a handle opened elsewhere, which the stream then owns (it
// is closed even when the stream cannot be made).
ByteStream* ReadOnlyFileStreamOn(FileHandle handle);
// Read-write over a handle opened elsewhere with write access, owned as above.
ByteStream* ReadWriteFileStreamOn(FileHandle handle);
// An empty memory stream: no block, size and position 0. Grows in steps of
// 16 KiB; a size that would not fit in 32 bits, a negative position, or a
// heap refusal leaves it unchanged (Write 0, Seek InvalidPosition).
ByteStream* CreateMemoryStream();
// No constructor reports a failed open: the stream's fileHandle is then
// invalid and every operation fails quietly. The result is null only when
// the heap refuses the object itself.

// Calls through the stream's own table. A null stream yields the failure
// result of each operation, so a refused CreateObject does not crash callers.
inline uint32_t StreamSeek(ByteStream* s, int32_t offset, SeekOrigin origin) {
    return s ? s->methods->Seek(s, offset, origin) : InvalidPosition;
}
// The size of any stream; 0 when it cannot be had.
inline uint64_t StreamGetSize64(ByteStream* s) { return s ? s->methods->GetSize(s) : 0; }
// The same for callers that hold sizes in 32 bits: 0 also for a stream of
// 4 GiB or more, which they cannot take whole.
inline uint32_t StreamGetSize(ByteStream* s) {
    const uint64_t size = StreamGetSize64(s);
    return size > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(size);
}
inline bool StreamSetSize(ByteStream* s, uint64_t newSize) {
    return s ? s->methods->SetSize(s, newSize) : false;
}
inline uint32_t StreamRead(ByteStream* s, void* buffer, uint32_t count) {
    return s ? s->methods->Read(s, buffer, count) : 0;
}
inline uint32_t StreamWrite(ByteStream* s, const void* buffer, uint32_t count) {
    return s ? s->methods->Write(s, buffer, count) : 0;
}

// Seek(0, Current).
uint32_t StreamPosition(ByteStream* stream);
// Seek(p, Beginning). Positions above 0x7FFFFFFF cannot be reached this way
// (the offset is signed 32-bit) and give InvalidPosition.
uint32_t SetStreamPosition(ByteStream* stream, int32_t p);
// The same for a position below 2 GiB (every position a patch writes or
// journals); true when it is reached.
inline bool SeekStreamTo(ByteStream* stream, uint32_t p) {
    return SetStreamPosition(stream, static_cast<int32_t>(p)) == p;
}

// A file stream's data handed to the disk (FlushFileBuffers); true for a
// memory stream, which has no disk.
bool FlushStream(ByteStream* stream);
// Closes a file stream's handle now, reporting the result (a close can
// report a write the cache could not complete); the stream keeps no handle
// afterwards. True for a memory stream.
bool CloseStream(ByteStream* stream);

// Up to count bytes from the current position, as many as were actually
// read. Never allocates more than the stream has left to read.
ByteString ReadStreamText(ByteStream* stream, uint32_t count);

// Moves up to count bytes from the source's position to the destination's
// position in one Read and one Write; returns the number transferred. Reads
// or writes directly in a memory stream's block when either side has one.
// Copying a stream onto itself transfers nothing.
uint32_t CopyStreamBytes(ByteStream* destination, ByteStream* source, uint32_t count);

// The heap call memory streams grow through (realloc by default). Tests swap
// in a refusing one to check that a failed growth leaves the stream intact.
// Returns the previous function.
typedef void* (*StreamReallocFunction)(void* block, size_t size);
StreamReallocFunction SetStreamReallocFunction(StreamReallocFunction function);
