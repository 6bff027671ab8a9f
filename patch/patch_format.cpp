#include "patch/patch_format.h"

#include <string.h>

PatchFormat IdentifyPatchFormat(const uint8_t* block, uint32_t size) {
    if (!block) return PatchFormatUnknown;
    if (size >= 5 && memcmp(block, "PATCH", 5) == 0) return PatchFormatIps;
    if (size >= 4 && memcmp(block, "BPS1", 4) == 0) return PatchFormatBps;
    return PatchFormatUnknown;
}
