#include "patch/byte_stream.h"

#include <stdlib.h>
#include <string.h>

namespace {

StreamReallocFunction streamRealloc = realloc;

// --- file kind ------------------------------------------------------------

uint32_t FileSeek(ByteStream* s, int32_t offset, SeekOrigin origin) {
    return SeekFileHandle(s->fileHandle, offset, origin);
}

uint64_t FileGetSize(ByteStream* s) {
    uint64_t size;
    return GetFileSizeHandle64(s->fileHandle, &size) ? size : 0;
}

bool FileSetSizeNothing(ByteStream*, uint64_t) { return false; }
uint32_t FileReadNothing(ByteStream*, void*, uint32_t) { return 0; }
uint32_t FileWriteNothing(ByteStream*, const void*, uint32_t) { return 0; }

uint32_t FileRead(ByteStream* s, void* buffer, uint32_t count) {
    return ReadFileHandle(s->fileHandle, buffer, count);
}

uint32_t FileWrite(ByteStream* s, const void* buffer, uint32_t count) {
    return WriteFileHandle(s->fileHandle, buffer, count);
}

// Cuts or extends the file to n bytes, which may lie past 4 GiB;
// afterwards the position is the smaller of the old position and n.
bool FileSetSize(ByteStream* s, uint64_t n) {
    uint32_t old = StreamPosition(s);
    if (old == InvalidPosition) return false;
    // SetEndOfFile cuts at the current position: if the seek to n did not
    // land there (a failing handle), the file would be cut at the wrong
    // place, so stop before it.
    if (!SeekFileHandleTo(s->fileHandle, n)) {
        SeekFileHandleTo(s->fileHandle, old);
        return false;
    }
    bool ok = SetEndOfFileHandle(s->fileHandle);
    if (!ok || n > old) SeekFileHandleTo(s->fileHandle, old);
    return ok;
}

void FileClose(ByteStream* s) {
    if (IsValidFileHandle(s->fileHandle)) CloseFileHandle(s->fileHandle);
    s->fileHandle = InvalidFileHandle();
}

// --- memory kind ----------------------------------------------------------

bool MemorySetSize(ByteStream* s, uint64_t size) {
    if (size > 0xFFFFFFFFu) return false;
    const uint32_t n = static_cast<uint32_t>(size);
    if (s->capacity < n) {
        // The smallest multiple of 16 KiB strictly above n. For n from
        // 0xFFFFC000 up the step wraps to 0: such a size cannot be held.
        uint32_t capacity = (n | 0x3FFFu) + 1u;
        if (capacity == 0) return false;
        void* grown = streamRealloc(s->block, capacity);
        // A refused growth keeps the old block, which realloc leaves intact.
        if (!grown) return false;
        s->block = static_cast<uint8_t*>(grown);
        s->capacity = capacity;
    }
    if (n == 0) {
        free(s->block);
        s->block = nullptr;
        s->capacity = 0;
    }
    // Grown bytes read as zeros, as a file's do: the block may hold stale
    // bytes of an earlier, larger size or of realloc.
    if (n > s->size) memset(s->block + s->size, 0, n - s->size);
    s->size = n;
    if (s->position >= n) s->position = n;
    return true;
}

uint32_t MemorySeek(ByteStream* s, int32_t offset, SeekOrigin origin) {
    int64_t base;
    switch (origin) {
    case SeekOrigin::Beginning: base = 0; break;
    case SeekOrigin::Current: base = s->position; break;
    case SeekOrigin::End: base = s->size; break;
    default: return InvalidPosition;
    }
    int64_t target = base + offset;
    // Refused rather than wrapped: a negative position, or one whose size
    // would not fit in 32 bits (0xFFFFFFFF itself is the failure value).
    if (target < 0 || target >= static_cast<int64_t>(InvalidPosition)) return InvalidPosition;
    uint32_t position = static_cast<uint32_t>(target);
    if (position > s->size && !MemorySetSize(s, position)) return InvalidPosition;
    s->position = position;
    return position;
}

uint64_t MemoryGetSize(ByteStream* s) { return s->size; }

uint32_t MemoryRead(ByteStream* s, void* buffer, uint32_t count) {
    if (s->position >= s->size) return 0;
    uint32_t left = s->size - s->position;
    if (count > left) count = left;
    if (count == 0) return 0;
    memcpy(buffer, s->block + s->position, count);
    s->position += count;
    return count;
}

uint32_t MemoryWrite(ByteStream* s, const void* buffer, uint32_t count) {
    if (count == 0) return 0;
    uint64_t end = static_cast<uint64_t>(s->position) + count;
    if (end >= InvalidPosition) return 0;
    if (end > s->size && !MemorySetSize(s, static_cast<uint32_t>(end))) return 0;
    // memmove: the buffer may lie inside this stream's own block.
    memmove(s->block + s->position, buffer, count);
    s->position = static_cast<uint32_t>(end);
    return count;
}

void MemoryClose(ByteStream* s) {
    free(s->block);
    s->block = nullptr;
    s->capacity = 0;
    s->size = 0;
    s->position = 0;
}

}  // namespace

const StreamMethods FileStreamTable = {
    FileSeek, FileGetSize, FileSetSizeNothing, FileReadNothing, FileWriteNothing, FileClose,
};

const StreamMethods MemoryStreamTable = {
    MemorySeek, MemoryGetSize, MemorySetSize, MemoryRead, MemoryWrite, MemoryClose,
};

void ByteStream::Teardown() {
    methods->Close(this);
    DisposeBase(this);
}

ByteStream* CreateStream(const StreamMethods& table) {
    ByteStream* s = CreateObject<ByteStream>();
    if (!s) return nullptr;
    s->ownMethods = table;
    s->methods = &s->ownMethods;
    return s;
}

ByteStream* OpenReadWriteFileStream(const ByteString& path) {
    // OPEN_ALWAYS: a file that appears between a test and the open is
    // opened, never emptied.
    return ReadWriteFileStreamOn(OpenFileHandle(path, OpenModeReadWriteAlways));
}

ByteStream* ReadWriteFileStreamOn(FileHandle handle) {
    ByteStream* s = ReadOnlyFileStreamOn(handle);
    if (!s) return nullptr;
    s->ownMethods.Write = FileWrite;
    s->ownMethods.SetSize = FileSetSize;
    return s;
}

ByteStream* OpenReadOnlyFileStream(const ByteString& path) {
    return ReadOnlyFileStreamOn(OpenFileHandle(path, OpenModeReadOnly));
}

ByteStream* ReadOnlyFileStreamOn(FileHandle handle) {
    ByteStream* s = CreateStream(FileStreamTable);
    if (!s) {
        if (IsValidFileHandle(handle)) CloseFileHandle(handle);
        return nullptr;
    }
    s->ownMethods.Read = FileRead;
    s->fileHandle = handle;
    return s;
}

ByteStream* CreateMemoryStream() { return CreateStream(MemoryStreamTable); }

uint32_t StreamPosition(ByteStream* stream) { return StreamSeek(stream, 0, SeekOrigin::Current); }

uint32_t SetStreamPosition(ByteStream* stream, int32_t p) {
    return StreamSeek(stream, p, SeekOrigin::Beginning);
}

ByteString ReadStreamText(ByteStream* stream, uint32_t count) {
    ByteString text;
    if (count == 0 || !stream) return text;
    // Size the string by what is left rather than by what was asked, so an
    // absurd count does not turn into an absurd allocation.
    uint32_t position = StreamPosition(stream);
    uint32_t size = StreamGetSize(stream);
    if (position == InvalidPosition || position >= size) return text;
    if (count > size - position) count = size - position;
    if (!text.SetLength(count)) return text;
    uint32_t got = StreamRead(stream, text.Data(), count);
    text.SetLength(got);
    return text;
}

uint32_t CopyStreamBytes(ByteStream* destination, ByteStream* source, uint32_t count) {
    if (!destination || !source || count == 0) return 0;
    // Reading and writing the same block would move the position twice and
    // could realloc the block out from under the bytes being copied.
    if (destination == source) return 0;

    if (source->block) {
        uint32_t left = source->position < source->size ? source->size - source->position : 0;
        uint32_t k = count < left ? count : left;
        if (k == 0) return 0;
        uint32_t written = StreamWrite(destination, source->block + source->position, k);
        source->position += written;
        return written;
    }

    if (destination->block) {
        uint32_t start = destination->position;
        uint32_t oldSize = destination->size;
        uint64_t end = static_cast<uint64_t>(start) + count;
        if (end >= InvalidPosition) return 0;
        if (end > oldSize && !StreamSetSize(destination, static_cast<uint32_t>(end))) return 0;
        uint32_t got = StreamRead(source, destination->block + start, count);
        destination->position = start + got;
        // The size was raised for a full read; take back what did not arrive
        // so no uninitialised bytes become part of the stream.
        uint32_t reached = start + got;
        if (destination->size > oldSize) {
            uint32_t keep = reached > oldSize ? reached : oldSize;
            if (keep < destination->size) StreamSetSize(destination, keep);
        }
        return got;
    }

    uint8_t* buffer = static_cast<uint8_t*>(malloc(count));
    if (!buffer) return 0;
    uint32_t got = StreamRead(source, buffer, count);
    uint32_t written = got ? StreamWrite(destination, buffer, got) : 0;
    free(buffer);
    return written;
}

StreamReallocFunction SetStreamReallocFunction(StreamReallocFunction function) {
    StreamReallocFunction old = streamRealloc;
    streamRealloc = function ? function : realloc;
    return old;
}

bool FlushStream(ByteStream* stream) {
    if (!stream) return false;
    if (stream->methods->Close != FileClose) return true;
    return FlushFileHandle(stream->fileHandle);
}

bool CloseStream(ByteStream* stream) {
    if (!stream) return false;
    if (stream->methods->Close != FileClose) return true;
    const bool closed = CloseFileHandle(stream->fileHandle);
    stream->fileHandle = InvalidFileHandle();
    return closed;
}
