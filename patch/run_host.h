// Inside the patch run: what every format's route shares (the host's hooks,
// progress that never goes backwards, the report's end) and the routes'
// entries, which only the format-neutral entry (patch/patch_run.cpp) calls.
#pragma once
#include <stdint.h>

#include "base/byte_string.h"
#include "patch/patch_run.h"
#include "platform/file_handle.h"

enum BarPhase : uint8_t { PhaseIdentify, PhaseCopy, PhaseWrite };

// The hooks a run was given, any of which may be absent; progress never
// goes backwards.
struct RunHost {
    PatchRunHooks* hooks;
    uint32_t shown;  // last position given to Progress
    uint32_t start;  // tick count when the run began: the time told covers it all
    // The phase under way, by 1 KiB the bytes each phase moves, and where
    // each one's part of the bar ends: planned (PlanBar) once the target's
    // size is known, from its first chunk; until then the writes have it all.
    uint32_t phase;
    bool planned;
    uint32_t weight[3];
    uint32_t end[3];
    // A patcher with variants checks the result before the end is told
    // (patch/patch_variants.cpp): FinishRun records it and tells nobody.
    bool tellLater;
    // The host's answer, asked once however many steps want it.
    int8_t backup;  // -1: not asked yet

    bool WantsBackup() {
        if (backup < 0) backup = hooks && hooks->WantsBackup();
        return backup;
    }
    void Show(uint32_t position) {
        if (position < shown) position = shown;
        shown = position;
        if (hooks) hooks->Progress(position);
    }
    // The bar's position percent of the way through the phase under way.
    uint32_t At(uint32_t percent) const {
        const uint32_t from = phase ? end[phase - 1] : 0;
        return from + percent * (end[phase] - from) / 100;
    }
    void Progress(uint32_t percent) { Show(At(percent)); }
    void StillWorking() const {
        if (hooks) hooks->StillWorking();
    }
};

// A host for a run that begins now, the whole bar for its writes.
RunHost StartRunHost(PatchRunHooks* hooks);

// Identification and the backup copy, told after each chunk: the window is
// kept alive and the bar moves through the phase's part, when a step moves
// it at all. context is the RunHost.
void ShowFileProgress(void* context, uint32_t done, uint32_t total);

// floor(part * scale / whole) for part <= whole and scale <= 100, in double
// rather than 64-bit integers: i686 has no 64-by-32-bit division, and the
// runtime's helper for it costs the downloaded program about 600 bytes. The
// product (below 2^39) and whole are exact doubles; a quotient (at most 100)
// that is not a whole number lies at least 1/whole >= 2^-32 below the next
// one, far more than the quotient's rounding error (below 2^-46), so
// truncating it gives the exact floor.
inline uint32_t ScaledShare(uint32_t part, uint32_t whole, uint32_t scale) {
    return static_cast<uint32_t>(static_cast<double>(part) * scale / whole);
}

// A file handle the run owns: closed when the run leaves, whichever way.
struct OwnedFile {
    FileHandle handle = InvalidFileHandle();
    ~OwnedFile() { Close(); }
    bool Close() {
        const bool closed = CloseFileHandle(handle);
        handle = InvalidFileHandle();
        return closed;
    }
};

// The temporary a result is built in (a BPS result, or an IPS one that
// rewrites most of the file): deleted when the run leaves unless it has
// been put in the target's place.
struct ResultFile : OwnedFile {
    ByteString path;
    bool placed = false;
    ~ResultFile() {
        Close();
        if (!placed && !path.Empty()) DeleteFileAtPath(path);
    }
};

class ByteStream;

// The patch bytes of a memory stream, its own block; false for anything else.
bool PatchBlockOf(ByteStream* patch, const uint8_t** block, uint32_t* size);
// Records the result, tells the host once, and returns the result.
PatchResult FinishRun(RunHost& host, PatchRunReport* report, PatchResult result);
// The caller's report, or `local` when it gave none, zeroed.
PatchRunReport* FreshReport(PatchRunReport* report, PatchRunReport* local);

// The routes, one per format, each with the same shape: the block in
// memory (non-null), the target, the hooks and a fresh report whose format
// is already set; each ends with FinishRun.
PatchResult BpsApplyBlock(const uint8_t* block, uint32_t size, const ByteString& targetPath, RunHost& host,
                          PatchRunReport* report);
PatchResult IpsApplyBlock(const uint8_t* block, uint32_t size, const ByteString& targetPath, RunHost& host,
                          PatchRunReport* report, const TargetFacts* facts);
