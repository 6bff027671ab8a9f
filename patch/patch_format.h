// The one place that tells a patch block's format from its first bytes.
// Every caller that must know what kind of patch it holds (the patch run's
// entry, the publisher tool's commands) asks here, so a new format is taught
// in one spot.
#pragma once
#include <stdint.h>

enum PatchFormat : uint8_t {
    PatchFormatUnknown = 0,
    PatchFormatIps,  // "PATCH" (patch/ips_patch.h)
    PatchFormatBps   // "BPS1" (patch/bps_patch.h)
};

// The format whose signature the block begins with; Unknown for a block too
// short to hold one, or null.
PatchFormat IdentifyPatchFormat(const uint8_t* block, uint32_t size);
