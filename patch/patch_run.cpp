#include "patch/patch_run.h"

#include <string.h>

#include "patch/byte_stream.h"
#include "platform/clock.h"
#include "platform/file_handle.h"

namespace {

const uint32_t kHeaderSize = 5;
const uint32_t kProgressEvery = 5000;  // data records between progress updates

// The run's data buffer: static storage, not the caller's stack. It holds
// the longest run (65,535 bytes).
// mingw's GCC emits zero-filled statics as .data$ sections under
// -fdata-sections, which stores all 64 KiB in the .exe; naming .bss keeps
// them out of the file.
#ifdef __MINGW32__
__attribute__((section(".bss")))
#endif
uint8_t g_dataBuffer[65536];

// The hooks a run was given, any of which may be absent.
struct Host {
    PatchRunHooks* hooks;
    bool WantsBackup() const { return hooks && hooks->WantsBackup(); }
    void Progress(uint32_t percent) const {
        if (hooks) hooks->Progress(percent);
    }
};

PatchResult Finish(const Host& host, PatchRunReport* report, PatchResult result) {
    report->result = result;
    if (host.hooks) host.hooks->Finished(*report);
    return result;
}

// The patch bytes: a memory stream's own block, or nothing.
bool PatchBlock(ByteStream* patch, const uint8_t** block, uint32_t* size) {
    *block = nullptr;
    *size = 0;
    if (!patch || patch->methods->Read != MemoryStreamTable.Read) return false;
    *block = patch->block;
    *size = patch->size;
    return true;
}

// Every record in block order, each seeking the target to its own offset:
// records may come in any order and overlap, later ones winning.
PatchResult WriteRecords(const Host& host, const uint8_t* block, uint32_t blockSize, ByteStream* target,
                         PatchRunReport* report) {
    const PatchScan& scan = report->scan;
    uint32_t position = kHeaderSize;
    uint32_t dataRecords = 0;
    IpsRecord record;
    while (NextIpsRecord(block, scan, &position, &record)) {
        const uint8_t* bytes = record.data;
        if (!bytes) {
            memset(g_dataBuffer, record.value, record.length);
            bytes = g_dataBuffer;
        } else if (++dataRecords % kProgressEvery == 0) {
            // 64-bit product: position * 100 passes 32 bits above 42 MiB.
            host.Progress(static_cast<uint32_t>(uint64_t(position) * 100u / blockSize));
        }
        if (StreamSeek(target, static_cast<int32_t>(record.offset), SeekOrigin::Beginning) != record.offset ||
            (record.length != 0 && StreamWrite(target, bytes, record.length) != record.length))
            return PatchResultWriteFailed;
        ++report->recordsApplied;
    }
    // The truncation size of an "EOF" marker applies after all records.
    if (scan.endMarker == PatchEndTruncate &&
        (!StreamSetSize(target, scan.truncateSize) || StreamGetSize(target) != scan.truncateSize))
        return PatchResultWriteFailed;
    return PatchResultDone;
}

}  // namespace

ByteString BackupPathFor(const ByteString& targetPath) {
    ByteString path(targetPath);
    path.Append(".bak");
    return path;
}

PatchResult ApplyPatch(ByteStream* patch, const ByteString& targetPath, PatchRunHooks* hooks,
                       PatchRunReport* report) {
    PatchRunReport local;
    PatchRunReport* r = report ? report : &local;
    memset(r, 0, sizeof *r);
    const Host host = {hooks};

    // 1. Backup before anything touches the target. Patching without the
    //    copy the user asked for would leave them without their original.
    if (host.WantsBackup() && !CopyFileOverwrite(targetPath, BackupPathFor(targetPath)))
        return Finish(host, r, PatchResultBackupFailed);

    // 2. Open the target (a missing file is created empty). Opening comes
    //    before the block test, so a bad patch still opens the target; it
    //    is then closed with its bytes unchanged.
    ByteStream* target = OpenReadWriteFileStream(targetPath);
    if (!target || !IsValidFileHandle(target->fileHandle)) {
        Release(target);
        return Finish(host, r, PatchResultWriteFailed);
    }

    // 3. The whole block: nothing is written unless every record is complete.
    const uint8_t* block;
    uint32_t size;
    if (!PatchBlock(patch, &block, &size) || !ScanPatch(block, size, &r->scan)) {
        Release(target);
        return Finish(host, r, PatchResultMalformed);
    }
    SetStreamPosition(patch, static_cast<int32_t>(size));

    // 4. Progress 0, start time, the records.
    host.Progress(0);
    const uint32_t start = TickCount();
    PatchResult result = WriteRecords(host, block, size, target, r);

    // 5. Progress 100, then the elapsed time (taken after the bar moved).
    if (result == PatchResultDone) {
        host.Progress(100);
        r->elapsedMs = TickCount() - start;
    }
    Release(target);
    return Finish(host, r, result);
}
