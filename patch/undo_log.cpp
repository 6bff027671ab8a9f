#include "patch/undo_log.h"

#include <stdlib.h>
#include <string.h>

#include "base/byte_order.h"
#include "patch/byte_stream.h"
#include "platform/file_replace.h"

namespace {

const char kMagic[8] = {'T', 'S', 'L', 'U', 'N', 'D', 'O', '1'};
const char kJournalSuffix[] = ".tessel-undo";

// Two running sums over little-endian 32-bit words (the last one padded
// with zeros): cheap enough to cost nothing next to the disk, and enough
// to tell a journal a kill cut short. Every piece but the last must be a
// whole number of words.
void SumWords(uint32_t* a, uint32_t* b, const uint8_t* bytes, uint32_t count) {
    uint32_t sa = *a, sb = *b;
    uint32_t i = 0;
    // Words as the machine reads them: every build is little-endian (x86,
    // x86_64), so a journal reads the same in the program and the tool.
    uint32_t word;
    for (; i + 4 <= count; i += 4) {
        memcpy(&word, bytes + i, 4);
        sa += word;
        sb += sa;
    }
    if (i < count) {
        word = 0;
        memcpy(&word, bytes + i, count - i);
        sa += word;
        sb += sa;
    }
    *a = sa;
    *b = sb;
}

void Put32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t HeaderSum(const uint8_t* header) {
    uint32_t a = 0x5A5A5A5Au, b = 0;
    SumWords(&a, &b, header, 28);
    return a ^ b;
}

// A piece that cannot be written is noted, and the next one still tried.
bool WriteBack(void* failed, ByteStream* target, uint32_t offset, const uint8_t* bytes, uint32_t count) {
    if (SetStreamPosition(target, static_cast<int32_t>(offset)) != offset || StreamWrite(target, bytes, count) != count)
        *static_cast<bool*>(failed) = true;
    return true;
}

bool StillThere(void* scratch, ByteStream* target, uint32_t offset, const uint8_t* bytes, uint32_t count) {
    uint8_t* read = static_cast<uint8_t*>(scratch);
    return SetStreamPosition(target, static_cast<int32_t>(offset)) == offset &&
           StreamRead(target, read, count) == count && memcmp(read, bytes, count) == 0;
}

}  // namespace

UndoLog::~UndoLog() {
    CloseFileHandle(file_);
    free(buffer_);
}

bool UndoLog::Start(FileHandle journal, const ByteString& journalPath, uint32_t oldSize, uint32_t finalSize) {
    file_ = journal;
    path_ = journalPath;
    oldSize_ = oldSize;
    finalSize_ = finalSize;
    capacity_ = kChunk;
    buffer_ = static_cast<uint8_t*>(malloc(capacity_));
    if (!buffer_) return false;
    if (IsValidFileHandle(file_)) {
        // Room for the header, written last (Seal).
        memset(buffer_, 0, kHeaderSize);
        used_ = kHeaderSize;
    }
    return true;
}

// A full buffer goes to the journal; its entries' sums are taken on the way.
bool UndoLog::Drain() {
    const uint32_t header = bodyBytes_ == 0 ? kHeaderSize : 0;
    SumWords(&sumA_, &sumB_, buffer_ + header, used_ - header);
    bodyBytes_ += used_ - header;
    if (WriteFileHandle(file_, buffer_, used_) != used_) return false;
    used_ = 0;
    return true;
}

bool UndoLog::Append(const uint8_t* bytes, uint32_t count) {
    if (!IsValidFileHandle(file_)) {
        // In memory: the buffer grows to hold every entry.
        if (count > capacity_ - used_) {
            uint64_t grown = capacity_;
            while (grown - used_ < count) grown *= 2;
            if (grown > 0x7FFFFFFFu) return false;
            uint8_t* moved = static_cast<uint8_t*>(realloc(buffer_, static_cast<size_t>(grown)));
            if (!moved) return false;
            buffer_ = moved;
            capacity_ = static_cast<uint32_t>(grown);
        }
        memcpy(buffer_ + used_, bytes, count);
        used_ += count;
        bodyBytes_ += count;
        return true;
    }
    while (count) {
        // The buffer is drained only when full, so every piece summed but
        // the last is a whole number of words.
        uint32_t take = capacity_ - used_;
        if (take > count) take = count;
        memcpy(buffer_ + used_, bytes, take);
        used_ += take;
        bytes += take;
        count -= take;
        if (used_ == capacity_ && !Drain()) return false;
    }
    return true;
}

bool UndoLog::Add(uint32_t offset, const uint8_t* old, uint32_t count) {
    uint8_t head[8];
    Put32(head, offset);
    Put32(head + 4, count);
    ++entries_;
    // Most entries are small and fit the buffer's room whole: one copy.
    if (count < capacity_ - used_ - 8 && capacity_ - used_ > 8) {
        memcpy(buffer_ + used_, head, 8);
        memcpy(buffer_ + used_ + 8, old, count);
        used_ += 8 + count;
        if (!IsValidFileHandle(file_)) bodyBytes_ += 8 + count;
        return true;
    }
    return Append(head, 8) && Append(old, count);
}

bool UndoLog::Seal() {
    if (!IsValidFileHandle(file_)) return true;
    if (used_ > (bodyBytes_ == 0 ? kHeaderSize : 0) && !Drain()) return false;
    if (bodyBytes_ == 0 && used_ == kHeaderSize && WriteFileHandle(file_, buffer_, used_) != used_) return false;
    used_ = 0;
    uint8_t header[kHeaderSize];
    memcpy(header, kMagic, 8);
    Put32(header + 8, oldSize_);
    Put32(header + 12, finalSize_);
    Put32(header + 16, entries_);
    Put32(header + 20, bodyBytes_);
    Put32(header + 24, sumA_ ^ sumB_);
    Put32(header + 28, HeaderSum(header));
    if (SeekFileHandle(file_, 0, SeekOrigin::Beginning) != 0 ||
        WriteFileHandle(file_, header, kHeaderSize) != kHeaderSize || !FlushFileHandle(file_))
        return false;
    // The journal's name must outlive a power loss as surely as its bytes.
    FlushFolderBeside(path_);
    return true;
}

bool UndoLog::Open(FileHandle journal, bool* ours) {
    file_ = journal;
    *ours = false;
    uint8_t header[kHeaderSize];
    const uint32_t size = GetFileSizeHandle(journal);
    if (size == 0) *ours = true;  // killed before its first write
    if (size < kHeaderSize || SeekFileHandle(journal, 0, SeekOrigin::Beginning) != 0 ||
        ReadFileHandle(journal, header, kHeaderSize) != kHeaderSize)
        return false;
    // Ours, whole or not: the magic, or the zeros written before the header.
    static const uint8_t kZeros[8] = {};
    *ours = memcmp(header, kMagic, 8) == 0 || memcmp(header, kZeros, 8) == 0;
    if (memcmp(header, kMagic, 8) != 0 || ReadLittleEndian(header + 28, 4) != HeaderSum(header)) return false;
    oldSize_ = ReadLittleEndian(header + 8, 4);
    finalSize_ = ReadLittleEndian(header + 12, 4);
    entries_ = ReadLittleEndian(header + 16, 4);
    bodyBytes_ = ReadLittleEndian(header + 20, 4);
    if (size - kHeaderSize != bodyBytes_) return false;
    capacity_ = kChunk;
    buffer_ = static_cast<uint8_t*>(malloc(capacity_));
    if (!buffer_) return false;
    // The body read once for its checksum before any of it is believed.
    uint32_t a = 0, b = 0;
    for (uint32_t left = bodyBytes_; left;) {
        const uint32_t want = left < capacity_ ? left : capacity_;
        if (ReadFileHandle(journal, buffer_, want) != want) return false;
        SumWords(&a, &b, buffer_, want);
        left -= want;
    }
    return (a ^ b) == ReadLittleEndian(header + 24, 4);
}

// Up to `want` contiguous bytes of the body (at least one); null when the
// journal cannot be read.
const uint8_t* UndoLog::Next(uint32_t want, uint32_t* got) {
    if (readAt_ == used_) {
        if (readLeft_ == 0) return nullptr;
        used_ = readLeft_ < capacity_ ? readLeft_ : capacity_;
        if (ReadFileHandle(file_, buffer_, used_) != used_) {
            used_ = readAt_ = 0;
            return nullptr;
        }
        readLeft_ -= used_;
        readAt_ = 0;
    }
    *got = used_ - readAt_ < want ? used_ - readAt_ : want;
    readAt_ += *got;
    return buffer_ + readAt_ - *got;
}

// Every entry, in pieces of at most a buffer, handed to visit.
bool UndoLog::EachEntry(ByteStream* target, Visit visit, void* context) {
    if (IsValidFileHandle(file_)) {
        if (SeekFileHandle(file_, kHeaderSize, SeekOrigin::Beginning) != kHeaderSize) return false;
        used_ = readAt_ = 0;
        readLeft_ = bodyBytes_;
    } else {
        readAt_ = 0;
        readLeft_ = 0;
    }
    for (uint32_t e = 0; e < entries_; ++e) {
        uint8_t head[8];
        for (uint32_t have = 0, got; have < 8; have += got) {
            const uint8_t* bytes = Next(8 - have, &got);
            if (!bytes) return false;
            memcpy(head + have, bytes, got);
        }
        uint32_t offset = ReadLittleEndian(head, 4), left = ReadLittleEndian(head + 4, 4), got;
        // An entry never reaches past the old end: that is where it was read.
        if (offset > oldSize_ || left > oldSize_ - offset) return false;
        while (left) {
            const uint8_t* bytes = Next(left, &got);
            if (!bytes || !visit(context, target, offset, bytes, got)) return false;
            offset += got;
            left -= got;
        }
    }
    return true;
}

bool UndoLog::Restore(ByteStream* target) {
    // Each entry is put back even when another could not be.
    bool failed = false;
    const bool entries = EachEntry(target, WriteBack, &failed) && !failed;
    if (StreamGetSize(target) == oldSize_) return entries;
    // A cut took bytes the log does not hold: it can never be undone.
    if (StreamGetSize(target) < oldSize_) return false;
    return StreamSetSize(target, oldSize_) && StreamGetSize(target) == oldSize_ && entries;
}

bool UndoLog::TargetAsItWas(ByteStream* target, uint8_t* scratch) {
    return scratch && StreamGetSize(target) == oldSize_ && EachEntry(target, StillThere, scratch);
}

void UndoLog::Discard(const ByteString& journalPath) {
    if (!IsValidFileHandle(file_)) return;
    CloseFileHandle(file_);
    file_ = InvalidFileHandle();
    DeleteFileAtPath(journalPath);
}

void UndoLog::Keep() {
    CloseFileHandle(file_);
    file_ = InvalidFileHandle();
}

ByteString JournalPathFor(const ByteString& targetPath) {
    ByteString path(targetPath);
    path.Append(kJournalSuffix);
    return path;
}

FileHandle CreateJournal(const ByteString& targetPath) {
    return CreateOwnFile(JournalPathFor(targetPath));
}

Recovery RecoverInterruptedRun(const ByteString& targetPath) {
    const ByteString path = JournalPathFor(targetPath);
    FileHandle journal = OpenOwnPlainFile(path);
    if (!IsValidFileHandle(journal)) return RecoveryNone;
    UndoLog log;
    bool ours;
    if (!log.Open(journal, &ours)) {
        // Cut short by a kill before its run touched the target: nothing to
        // put back. Anything else at that name is left alone.
        if (ours)
            log.Discard(path);
        return RecoveryNone;
    }
    // The stream would create a missing target.
    ByteStream* target = IsExistingFile(targetPath) ? OpenReadWriteFileStream(targetPath) : nullptr;
    Recovery result = target ? RecoveryFailed : RecoveryNone;
    if (target && IsValidFileHandle(target->fileHandle)) {
        const uint32_t size = StreamGetSize(target);
        if (log.FinalSize() < log.OldSize() && size == log.FinalSize()) {
            // The cut is a run's last step: the file is whole, patched.
            result = RecoveryNone;
        } else if (size != log.OldSize() && size != log.FinalSize()) {
            // Not the file the journal was written for (replaced since):
            // its bytes are not laid over another file.
            result = RecoveryNone;
        } else if (log.Restore(target) && FlushStream(target) && CloseStream(target)) {
            result = RecoveryRestored;
        }
    }
    Release(target);
    if (result == RecoveryFailed)
        log.Keep();
    else
        log.Discard(path);
    return result;
}
