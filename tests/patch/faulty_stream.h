// A memory stream whose N-th seek, read, write or resize fails, once, once
// and then at the next read, or from then on (all of them, or the writes
// and resizes): the patch run's write path is checked against every place a
// disk can refuse, in the tests and in the fuzzer. One schedule at a time
// (the stream's operations table has no room for a context).
#pragma once
#include <stdint.h>

#include "patch/byte_stream.h"

namespace faulty {

struct Schedule {
    uint32_t countdown = 0;  // the call that fails, counting from 1; 0: none
    bool sticky = false;     // and every call after it
    bool thenRead = false;   // and the first read after it
    bool readsWork = false;  // seeks and reads are counted but never fail (a disk that takes no writes)
    uint32_t calls = 0;      // calls seen so far
    bool readArmed = false;

    bool Fail() {
        ++calls;
        if (countdown == 0) return false;
        if (--countdown == 0) {
            if (sticky) countdown = 1;
            readArmed = thenRead;
            return true;
        }
        return false;
    }
    bool FailRead() {
        if (Fail()) return true;
        const bool armed = readArmed;
        readArmed = false;
        return armed;
    }
};

inline Schedule& Faults() {
    static Schedule schedule;
    return schedule;
}

inline uint32_t Seek(ByteStream* s, int32_t offset, SeekOrigin origin) {
    const bool fail = Faults().Fail() && !Faults().readsWork;
    return fail ? InvalidPosition : MemoryStreamTable.Seek(s, offset, origin);
}
inline uint32_t Read(ByteStream* s, void* buffer, uint32_t count) {
    const bool fail = Faults().FailRead() && !Faults().readsWork;
    return fail ? 0 : MemoryStreamTable.Read(s, buffer, count);
}
// A refused write still moves half its bytes, as a full disk does.
inline uint32_t Write(ByteStream* s, const void* buffer, uint32_t count) {
    return Faults().Fail() ? MemoryStreamTable.Write(s, buffer, count / 2) : MemoryStreamTable.Write(s, buffer, count);
}
inline bool SetSize(ByteStream* s, uint64_t size) {
    return Faults().Fail() ? false : MemoryStreamTable.SetSize(s, size);
}

// A memory stream holding the bytes, its operations routed through Faults().
inline ByteStream* MemoryStream(const void* bytes, uint32_t size) {
    ByteStream* s = CreateMemoryStream();
    if (!s) return nullptr;
    if (size) MemoryStreamTable.Write(s, bytes, size);
    MemoryStreamTable.Seek(s, 0, SeekOrigin::Beginning);
    s->ownMethods.Seek = Seek;
    s->ownMethods.Read = Read;
    s->ownMethods.Write = Write;
    s->ownMethods.SetSize = SetSize;
    return s;
}

}  // namespace faulty
