// The BPS route of a patch run: the result is built in a new file beside
// the target and put in its place only once it is whole, checked and on
// disk, so a failure, a kill or a power loss at any moment leaves the
// original where it was. Memory stays bounded whatever the file's size:
// the source is read from the target where the actions point, through a
// small window, and the result goes out as it grows.
#include <stdlib.h>
#include <string.h>

#include "patch/backup_copy.h"
#include "patch/run_host.h"
#include "patch/target_check.h"
#include "platform/clock.h"
#include "platform/file_replace.h"

namespace {

const uint32_t kSourceWindow = 256 * 1024;  // source bytes read at a time, at most
const uint32_t kSourceMinimumRead = 32 * 1024;
const uint32_t kResultBuffer = 1024 * 1024; // result bytes written at a time
const uint32_t kPulseEvery = 64 * 1024;     // result bytes between pulses and progress

// The run's memory, one heap block freed when the run leaves: the two
// source windows, the scratch for reading the result back, the result
// buffer (1.75 MiB in all, whatever the files' sizes).
struct Buffers {
    uint8_t* window = static_cast<uint8_t*>(malloc(3 * kSourceWindow + kResultBuffer));
    ~Buffers() { free(window); }
    uint8_t* Window(uint32_t i) const { return window + i * kSourceWindow; }
    uint8_t* Scratch() const { return window + 2 * kSourceWindow; }
    uint8_t* Result() const { return window + 3 * kSourceWindow; }
};

// The source: the target file read through a window that moves to where
// the actions point.
struct SourceWindow {
    FileHandle file;
    uint32_t fileSize;
    uint8_t* bytes;
    uint32_t start, count;

    // The bytes from position on (at least one, as many as the window
    // holds); null when the file cannot be read there. A miss reads at
    // least `wanted` bytes (up to the window's size), never less than 32 KiB:
    // a short copy from far away does not pay for a whole window.
    const uint8_t* At(uint32_t position, uint32_t wanted, uint32_t* available) {
        *available = 0;
        if (position < start || position - start >= count) {
            const uint32_t left = fileSize - position;
            if (wanted < kSourceMinimumRead) wanted = kSourceMinimumRead;
            if (wanted > kSourceWindow) wanted = kSourceWindow;
            const uint32_t want = left < wanted ? left : wanted;
            count = 0;
            if (!SeekFileHandleTo(file, position) || ReadFileHandle(file, bytes, want) != want) return nullptr;
            start = position;
            count = want;
        }
        *available = count - (position - start);
        return bytes + (position - start);
    }
};

// The result as it grows: a buffer written to the temporary when full,
// its CRC-32 taken as it goes out. TargetCopy reads earlier result bytes
// back, from the buffer or from the file.
struct ResultStream {
    FileHandle file;
    uint8_t* bytes;
    uint8_t* scratch;     // kSourceWindow bytes for reading back from the file
    uint32_t written;     // result bytes in the file
    uint32_t filled;      // result bytes in the buffer after them
    uint32_t crc;

    bool Drain() {
        if (filled && WriteFileHandle(file, bytes, filled) != filled) return false;
        crc = Crc32Update(crc, bytes, filled);
        written += filled;
        filled = 0;
        return true;
    }
    bool Append(const uint8_t* from, uint32_t count) {
        while (count) {
            uint32_t take = kResultBuffer - filled;
            if (take > count) take = count;
            memcpy(bytes + filled, from, take);
            filled += take;
            from += take;
            count -= take;
            if (filled == kResultBuffer && !Drain()) return false;
        }
        return true;
    }
    // count result bytes from `from` (below what is made) appended again;
    // they may overlap the ones being made, which then repeat.
    bool Repeat(uint32_t from, uint32_t count) {
        while (count) {
            uint32_t take;
            if (from >= written) {
                // In the buffer: forwards, byte by byte, so an overlap repeats.
                take = kResultBuffer - filled;
                if (take > count) take = count;
                const uint8_t* in = bytes + (from - written);
                uint8_t* out = bytes + filled;
                for (uint32_t i = 0; i < take; ++i) out[i] = in[i];
                filled += take;
                if (filled == kResultBuffer && !Drain()) return false;
            } else {
                // In the file: read back, then the write position restored.
                take = written - from;
                if (take > count) take = count;
                if (take > kSourceWindow) take = kSourceWindow;
                if (!SeekFileHandleTo(file, from) || ReadFileHandle(file, scratch, take) != take ||
                    !SeekFileHandleTo(file, written) || !Append(scratch, take))
                    return false;
            }
            from += take;
            count -= take;
        }
        return true;
    }
    uint32_t Made() const { return written + filled; }
};

void Pulse(void* context) { static_cast<RunHost*>(context)->StillWorking(); }

// Size and CRC-32 of the whole target, read through the window's buffer.
bool ReadTargetFacts(RunHost& host, FileHandle file, uint8_t* buffer, uint64_t* size, uint32_t* crc) {
    if (!GetFileSizeHandle64(file, size)) return false;
    *crc = 0;
    if (*size > 0xFFFFFFFFull) return true;  // no BPS source or result is this large
    for (uint32_t done = 0; done < *size;) {
        const uint32_t left = static_cast<uint32_t>(*size) - done;
        const uint32_t want = left < kSourceWindow ? left : kSourceWindow;
        if (ReadFileHandle(file, buffer, want) != want) return false;
        *crc = Crc32Update(*crc, buffer, want);
        done += want;
        host.StillWorking();
    }
    return true;
}

// Every action of a scanned block, in order, into the result. SourceRead
// walks the source front to back, SourceCopy jumps: each has a window of its
// own, so neither throws the other's away.
bool WriteActions(RunHost& host, const uint8_t* block, const BpsHeader& h, SourceWindow* windows,
                  ResultStream& result) {
    BpsCursor cursor = StartBpsActions(h);
    BpsAction a;
    BpsProblem problem;
    uint32_t nextPulse = kPulseEvery;
    while (NextBpsAction(block, h, &cursor, &a, &problem)) {
        bool ok = true;
        if (a.kind == BpsTargetRead) ok = result.Append(a.data, a.length);
        else if (a.kind == BpsTargetCopy) ok = result.Repeat(a.from, a.length);
        else
            for (uint32_t from = a.from, left = a.length; ok && left;) {
                uint32_t available;
                const uint8_t* bytes = windows[a.kind == BpsSourceCopy].At(from, left, &available);
                const uint32_t take = available < left ? available : left;
                ok = bytes && result.Append(bytes, take);
                from += take;
                left -= take;
            }
        if (!ok) return false;
        if (result.Made() >= nextPulse) {
            nextPulse = result.Made() + kPulseEvery;
            host.StillWorking();
            host.Progress(ScaledShare(result.Made(), h.targetSize, 99));
        }
    }
    return problem == BpsProblemNone && result.Drain();
}

// The result built in the temporary, from progress 0: written, checked
// against the patch's CRC-32 and flushed. (The room was checked before.)
bool BuildResult(RunHost& host, const uint8_t* block, const BpsHeader& h, FileHandle target, const Buffers& memory,
                 ResultFile& out, PatchRunReport* r) {
    SourceWindow windows[2] = {{target, h.sourceSize, memory.Window(0), 0, 0},
                               {target, h.sourceSize, memory.Window(1), 0, 0}};
    ResultStream result = {out.handle, memory.Result(), memory.Scratch(), 0, 0, 0};
    if (!WriteActions(host, block, h, windows, result)) return false;
    r->bps.resultCrcWrong = result.crc != h.targetCrc;
    return !r->bps.resultCrcWrong && FlushFileHandle(out.handle);
}

// The target against the patch's source and result: false, with the result
// to report, when the run stops here.
bool TargetIsSource(const BpsHeader& h, const BpsRunDetails& found, PatchResult* stop) {
    if (found.foundSize == h.targetSize && found.foundCrc == h.targetCrc) {
        *stop = PatchResultAlreadyPatched;
        return false;
    }
    *stop = PatchResultWrongSource;
    return found.foundSize == h.sourceSize && found.foundCrc == h.sourceCrc;
}

}  // namespace

PatchResult BpsApplyBlock(const uint8_t* block, uint32_t size, const ByteString& targetPath, RunHost& host,
                          PatchRunReport* r) {
    // 0. The whole block first: a damaged or malformed one is refused before
    //    the target is even opened.
    if (!ScanBpsPatch(block, size, &r->bps.scan, Pulse, &host)) return FinishRun(host, r, PatchResultMalformed);
    const BpsHeader& h = r->bps.scan.header;

    // 1. The target must be the patch's source: a BPS patch applied to any
    //    other file makes garbage, so there is nothing to ask.
    OwnedFile target;
    target.handle = OpenFileHandle(targetPath, OpenModeReadOnly);
    Buffers memory;
    if (!memory.window) {
        r->outOfMemory = true;
        return FinishRun(host, r, PatchResultWriteFailed);
    }
    // A FIFO or a device is no target: refused before a byte is read.
    r->notRegularFile = IsValidFileHandle(target.handle) && !IsRegularFileHandle(target.handle);
    if (!IsRegularFileHandle(target.handle) ||
        !ReadTargetFacts(host, target.handle, memory.window, &r->bps.foundSize, &r->bps.foundCrc)) {
        r->openFailed = true;
        return FinishRun(host, r, PatchResultWriteFailed);
    }
    PatchResult stop;
    if (!TargetIsSource(h, r->bps, &stop)) return FinishRun(host, r, stop);

    // 2. Room for the result beside it (the original stays until the end,
    //    and with a backup it becomes the .bak: no copy is made).
    const bool backup = host.WantsBackup();
    if (FreeSpaceBeside(targetPath, &r->bps.roomFree) && r->bps.roomFree < h.targetSize) {
        r->bps.roomNeeded = h.targetSize;
        return FinishRun(host, r, PatchResultNoRoom);
    }

    // 3. The result, built and checked in a new file of its own.
    ResultFile out;
    out.handle = CreateExclusiveFileBeside(targetPath, &out.path);
    if (!IsValidFileHandle(out.handle)) {
        r->openFailed = true;
        return FinishRun(host, r, PatchResultWriteFailed);
    }
    host.Progress(0);
    if (!BuildResult(host, block, h, target.handle, memory, out, r) || !out.Close())
        return FinishRun(host, r, PatchResultWriteFailed);

    // 4. Into the target's place in one step; the original kept as the
    //    backup when one was asked for.
    target.Close();
    out.placed = PutFileInPlace(out.path, targetPath, backup ? BackupPathFor(targetPath) : ByteString());
    if (!out.placed) return FinishRun(host, r, backup ? PatchResultBackupFailed : PatchResultWriteFailed);
    r->backupMade = backup;
    host.Progress(100);
    r->elapsedMs = TickCount() - host.start;  // from the click, checks included
    return FinishRun(host, r, PatchResultDone);
}
