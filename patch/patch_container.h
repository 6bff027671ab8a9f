// The payload carried at the end of the program file: a description block
// followed by a patch block, each length stored after the block it measures
// so both are found from the end of the file:
//
//   ... executable ... | description | L2 (u32 LE) | patch | L1 (u32 LE) |EOF
//
// L2 = description bytes + 4, L1 = patch bytes + 4. There is no magic number.
// A signed patcher ends in the signature's certificate table instead, named
// by the PE header's security directory: the payload then ends where the
// table begins. tessel-pack ends every payload on an 8-byte boundary, where
// signing tools start the table, so signing inserts nothing between L1 and
// the table.
//
// The description block may end in an extension (version 1), which a
// program that does not know it never sees: the window shows the block as
// a NUL-terminated text, so whatever follows the text's NUL is skipped.
//
//   text | 00 | fields | fields size (u32 LE) | version (u32 LE) | "TsEx"
//
// Each field is type (u8), size (u16 LE), value. Known types: 1 the code
// page of text and title (u32 LE; 65001 = UTF-8), 2 the window title, 3
// target verification (original size, original CRC-32, result size, result
// CRC-32; u32 LE each), 4 a variant (below), 5 a piece of a variant's
// patch (below). Unknown types are skipped. An extension that does
// not fit its block exactly (a size past its room, a cut field, a known
// field of the wrong size, no NUL before the fields) is no extension: the
// whole block is then the text, as before the extension existed.
//
// Variants: one patcher for several files (revisions, regions). Each type 4
// field is one variant, in order: its source's size and CRC-32, its
// result's size and CRC-32, the CRC-32 of each past its first 512 bytes
// (the copier header some dumps carry; 0 for a file of 512 bytes or less),
// u32 LE each, then its label (UTF-8, the rest of the field). The first
// variant's patch is the patch block, so a program that knows no variants
// applies it; every later variant's patch travels in type 5 fields (its
// variant's number, u8, then up to 65,534 of its bytes), pieces joined in
// the order they come, each after its variant's own field. A patcher with
// variants also carries type 3, the first variant's facts, for programs
// that know facts but not variants.
#pragma once
#include <stdint.h>

#include "patch/byte_stream.h"
#include "patch/target_check.h"
#include "base/byte_string.h"

struct PatchContainerInfo {
    uint32_t fileSize;      // 0 when the file could not be opened or sized
    uint32_t payloadEnd;    // fileSize, or where a certificate table ending the file begins
    uint32_t l1;            // as read from the file (0 when not read)
    uint32_t l2;            // as read from the file (0 when not read)
    bool l1Valid;           // 4 <= L1 <= payloadEnd, and the patch bytes were read whole
    bool l2Valid;           // 4 <= L2 <= payloadEnd - L1, and the description was read whole
    // Where the payload begins: payloadEnd - L1 - L2 when both lengths are
    // valid, payloadEnd - L1 when only L1 is, payloadEnd when L1 is not. Cutting
    // the file here leaves the executable without (the recognised part of) a
    // payload.
    uint32_t payloadOffset;
};

// Reads the container at the end of the file at path. The patch bytes are
// written into patchOut at its position (may be null), the description goes
// to descriptionOut (may be null), info (may be null) tells what was found.
// The lengths are checked against the file size before any seek, so nothing
// before the start of the file is read and nothing larger than the file is
// allocated. A bad L1 gives an empty patch and an empty description; a good
// L1 with a bad L2 gives the patch and an empty description. Returns whether
// the patch block was found and read whole.
bool ReadPatchContainer(const ByteString& path, ByteStream* patchOut, ByteString* descriptionOut,
                        PatchContainerInfo* info);
// The same on a file stream opened elsewhere, which it releases.
bool ReadPatchContainerFrom(ByteStream* file, ByteStream* patchOut, ByteString* descriptionOut,
                            PatchContainerInfo* info);

const uint32_t PayloadExtensionVersion = 1;
const uint32_t CodePageUtf8 = 65001;

const uint32_t MaxPatchVariants = 16;
const uint32_t MaxVariantLabel = 255;  // bytes of UTF-8

// One file a patcher with variants was made for. Its label and patch lie
// in its extension's variantBytes (plain numbers here keep the program
// small: nothing to construct, copy or free per variant).
struct PatchVariant {
    TargetFacts facts;        // source and result, whole
    uint32_t sourceBodyCrc;   // CRC-32 past the first CopierHeaderSize bytes
    uint32_t resultBodyCrc;
    uint32_t labelAt, labelSize;  // UTF-8, as stored
    uint32_t patchAt, patchSize;  // 0 bytes for the first variant: its patch is the patch block
};

// What a description block's extension says.
struct PayloadExtension {
    bool present;
    uint32_t codePage;   // of text and title; 0 when not recorded (the thread's own)
    ByteString title;    // empty: the program's default title
    bool hasFacts;
    TargetFacts facts;
    uint32_t variantCount;  // 0: one patch, as before variants
    PatchVariant variants[MaxPatchVariants];
    ByteString variantBytes;  // the variants' labels and patches
};

// Variant i's label (UTF-8) and patch (none for the first).
inline ByteString VariantLabel(const PayloadExtension& extension, uint32_t i) {
    return ByteString(extension.variantBytes.CStr() + extension.variants[i].labelAt, extension.variants[i].labelSize);
}
inline const uint8_t* VariantPatch(const PayloadExtension& extension, uint32_t i) {
    return reinterpret_cast<const uint8_t*>(extension.variantBytes.CStr()) + extension.variants[i].patchAt;
}

// A writer's: appends a variant with the facts and body CRC-32s of
// `numbers`, its label and its patch (empty for the first). False past
// MaxPatchVariants, for a label past MaxVariantLabel, or when the heap
// refuses.
bool AddPatchVariant(PayloadExtension* extension, const PatchVariant& numbers, const ByteString& label,
                     const uint8_t* patch, uint32_t patchSize);

// Splits a description block as ReadPatchContainer returns it into its text
// and its extension. Without a valid extension, *text is the whole block
// and extension->present is false. Looks only inside the block.
void SplitDescriptionBlock(const ByteString& block, ByteString* text, PayloadExtension* extension);

// text, NUL, the extension's fields and its trailer: a description block
// for a new patcher (extension.present is not looked at). Empty when the
// heap refuses or the title is longer than a field holds (65,535 bytes).
ByteString ComposeDescriptionBlock(const ByteString& text, const PayloadExtension& extension);
