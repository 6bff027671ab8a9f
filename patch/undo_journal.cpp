#include "patch/undo_journal.h"

#include <stdlib.h>
#include <string.h>

#include "patch/byte_stream.h"
#include "patch/target_check.h"
#include "platform/file_replace.h"

namespace {

const uint64_t kMagic = 0x324F444E554C5354ull;  // "TSLUNDO2" in file order
const uint32_t kBuffer = 256u << 10;            // entries gathered before a write

struct Trailer {
    uint64_t oldSize;
    uint64_t finalSize;
    uint64_t magic;
    uint32_t entryBytes;
    uint32_t crc;  // of the entries and the trailer before it
};
static_assert(sizeof(Trailer) == 32, "no padding in the trailer");


}  // namespace

UndoJournal::UndoJournal(ByteStream* out, const ByteString& path)
    : out_(out), path_(path), buffer_(static_cast<uint8_t*>(malloc(kBuffer))) {}

UndoJournal::~UndoJournal() { free(buffer_); }

bool UndoJournal::Write(const void* bytes, uint32_t count) {
    crc_ = Crc32Update(crc_, static_cast<const uint8_t*>(bytes), count);
    written_ += count;
    return StreamWrite(out_, bytes, count) == count;
}

bool UndoJournal::Drain() {
    const uint32_t used = used_;
    used_ = 0;
    return Write(buffer_, used);
}

bool UndoJournal::Put(const void* bytes, uint32_t count) {
    if (!buffer_ || (count > kBuffer - used_ && !Drain())) return false;
    if (count > kBuffer) return Write(bytes, count);
    memcpy(buffer_ + used_, bytes, count);
    used_ += count;
    return true;
}

bool UndoJournal::Add(uint32_t offset, const uint8_t* old, uint32_t count) {
    const uint32_t head[2] = {offset, count};
    return Put(head, sizeof head) && Put(old, count);
}

bool UndoJournal::Seal(uint64_t oldSize, uint64_t finalSize) {
    Trailer t = {oldSize, finalSize, kMagic, written_ + used_, 0};
    if (!Put(&t, sizeof t - 4) || !Drain()) return false;
    t.crc = crc_;
    if (StreamWrite(out_, &t.crc, 4) != 4 || !FlushStream(out_)) return false;
    // The journal's name must outlive a power loss as surely as its bytes.
    if (!path_.Empty()) FlushFolderBeside(path_);
    return true;
}

ByteString JournalPathFor(const ByteString& targetPath) {
    ByteString path(targetPath);
    path.Append(".tessel-undo");
    return path;
}

PutBackResult PutBack(ByteStream* journal, ByteStream* target) {
    // The journal is read whole and checked before any of it is believed;
    // after it, room to read the target's bytes where an entry goes. One
    // that cannot be read (or held: 1 GiB or more) is kept for another try.
    const uint32_t size = StreamGetSize(journal);
    uint8_t* bytes = size >> 30 ? nullptr : static_cast<uint8_t*>(malloc(2 * size + 1));
    PutBackResult result = PutBackFailed;
    const uint64_t now = StreamGetSize64(target);
    Trailer t;
    if (bytes && SeekStreamTo(journal, 0) && StreamRead(journal, bytes, size) == size) {
        // The CRC-32 covers the magic and the count of entry bytes too.
        const uint32_t entryBytes = size - sizeof t;
        if (size >= sizeof t) memcpy(&t, bytes + entryBytes, sizeof t);
        result = PutBackNone;
        if (size >= sizeof t && t.crc == Crc32Update(0, bytes, size - 4) && (now == t.oldSize || now == t.finalSize)) {
            result = now == t.oldSize || StreamSetSize(target, t.oldSize) ? PutBackDone : PutBackFailed;
            // Each entry is put back even when another could not be, and
            // written only where the target does not hold it already.
            for (uint32_t at = 0, head[2]; at + sizeof head <= entryBytes; at += head[1]) {
                memcpy(head, bytes + at, sizeof head);
                at += sizeof head;
                const uint8_t* old = bytes + at;
                if (head[1] > entryBytes - at) {
                    result = PutBackFailed;
                    break;
                }
                if (!(SeekStreamTo(target, head[0]) && StreamRead(target, bytes + size, head[1]) == head[1] &&
                      memcmp(bytes + size, old, head[1]) == 0) &&
                    !(SeekStreamTo(target, head[0]) && StreamWrite(target, old, head[1]) == head[1]))
                    result = PutBackFailed;
            }
        }
    }
    free(bytes);
    return result;
}

PutBackResult RecoverInterruptedRun(const ByteString& targetPath) {
    const ByteString journalPath = JournalPathFor(targetPath);
    FileHandle file = OpenOwnFile(journalPath);
    if (!IsValidFileHandle(file)) return PutBackNone;
    ByteStream* journal = ReadOnlyFileStreamOn(file);
    ByteStream* target = ReadWriteFileStreamOn(OpenFileHandle(targetPath, OpenModeReadWriteExisting));
    // A target that is there and cannot be opened (held by another program)
    // keeps its journal; one that is gone has nothing to put back.
    PutBackResult result = IsExistingFile(targetPath) ? PutBackFailed : PutBackNone;
    if (target && IsValidFileHandle(target->fileHandle)) {
        result = PutBack(journal, target);
        if (result == PutBackDone && !(FlushStream(target) && CloseStream(target))) result = PutBackFailed;
    }
    Release(target);
    Release(journal);
    if (result != PutBackFailed) DeleteFileAtPath(journalPath);
    return result;
}
