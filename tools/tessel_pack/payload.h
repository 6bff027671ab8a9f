// The payload at the end of a patcher: reading it back exactly as the
// program does (through the core's container reader), deciding how much of
// a stub is the executable, and laying out a new payload.
#pragma once
#include <stdint.h>

#include <string>

#include "patch/patch_container.h"
#include "patch/patch_format.h"
#include "tools/tessel_pack/pe_layout.h"

struct CarriedPayload {
    PatchContainerInfo info;
    bool patchFound;          // L1 is valid: the program has a patch block to read
    std::string patch;        // the patch block (empty unless patchFound)
    std::string description;  // the description block's text (empty unless L2 is valid)
    PayloadExtension extension;  // what the block carries after its text (present false: nothing)
};

// Variant i's label and patch (empty for the first: the patch block) as strings.
inline std::string LabelOf(const PayloadExtension& extension, uint32_t i) {
    const ByteString label = VariantLabel(extension, i);
    return std::string(label.CStr(), label.Length());
}
inline std::string PatchOf(const PayloadExtension& extension, uint32_t i) {
    return std::string(reinterpret_cast<const char*>(VariantPatch(extension, i)), extension.variants[i].patchSize);
}

// The format of a patch block read into a string (patch/patch_format.h).
inline PatchFormat FormatOf(const std::string& block) {
    return IdentifyPatchFormat(reinterpret_cast<const uint8_t*>(block.data()), static_cast<uint32_t>(block.size()));
}

// ReadPatchContainer on path. A file without a payload, or one that cannot
// be read, gives patchFound false (info.fileSize tells the two apart for a
// caller that has read the file itself).
void ReadCarriedPayload(const std::string& path, CarriedPayload& payload);

// How many leading bytes of a stub file make its executable: all of them,
// unless it already carries a payload, which is then left out so that a
// second one is never stacked after it. A payload is recognised only when
// the program would find a patch block of a known format and the whole
// payload lies past the end of the PE image (so image bytes that happen to
// look like lengths are never cut off). A signature's certificate table
// (which cannot cover a new payload) and the zeros a build put before the
// payload to align it (fewer than 8, right after the image) are left out
// too. carried is what ReadCarriedPayload found in this same file.
uint64_t StubExecutableLength(const std::string& stub, const PeLayout& layout, const CarriedPayload& carried);

// Signing tools start the certificate table on an 8-byte boundary and pad
// the file with zeros up to it; a payload that already ends there keeps L1
// the last 4 bytes before the table. The zeros go in front of the
// description, where no reader looks: how many for this stub and payload.
uint64_t AlignmentPadding(uint64_t stubLength, uint64_t payloadLength);

// description + L2 + patch + L1, lengths little-endian. The caller checks
// that the sizes fit in 32 bits (FitsInContainer).
std::string ComposePayload(const std::string& description, const std::string& patch);
bool FitsInContainer(uint64_t stubLength, uint64_t descriptionLength, uint64_t patchLength);
