#include "patch/patch_container.h"

#include <stdlib.h>
#include <string.h>

namespace {

uint32_t Le32At(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Where the payload ends: where a signature's certificate table begins, or
// the end of the file. Authenticode signing (signtool, osslsigncode) appends
// the table after everything else and names it in the security directory,
// data directory 4 of the PE header, whose address is a file offset, not an
// RVA. Only a table that ends the file counts: bytes appended after a
// signature (which breaks it anyway) are a payload at the file's end, as
// before signing existed; no PE header, or one this short read cannot hold,
// leaves the end alone too.
uint32_t PayloadEnd(ByteStream* file, uint32_t fileSize) {
    uint8_t head[512];
    if (SetStreamPosition(file, 0) != 0 || StreamRead(file, head, sizeof head) != sizeof head) return fileSize;
    uint32_t pe = Le32At(head + 0x3C);
    // Signature and file header (24), optional header up to the end of data
    // directory 4 (PE32+: 112 + 5 * 8).
    if (pe > sizeof head - 24 - 152 || Le32At(head + pe) != 0x4550) return fileSize;  // "PE\0\0"
    const uint8_t* optional = head + pe + 24;
    // Magic 0x10B (PE32) or 0x20B (PE32+, whose directories start 16 bytes later).
    if (optional[0] != 0x0B || (optional[1] != 1 && optional[1] != 2)) return fileSize;
    const uint8_t* count = optional + 76 + 16 * optional[1];  // NumberOfRvaAndSizes
    uint32_t table = Le32At(count + 4 + 4 * 8);
    uint32_t size = Le32At(count + 4 + 4 * 8 + 4);
    if (Le32At(count) < 5 || table == 0 || size == 0 || table > fileSize || size != fileSize - table) return fileSize;
    return table;
}

// Seeks back bytes before end, where back has already been checked against
// end. Positions are signed 32-bit, so one past 2 GiB (an absurd payload or
// file) is refused.
bool SeekBackFrom(ByteStream* file, uint32_t end, uint64_t back) {
    if (back > end || end > 0x7FFFFFFFu) return false;
    uint32_t expected = end - static_cast<uint32_t>(back);
    return SetStreamPosition(file, static_cast<int32_t>(expected)) == expected;
}

// The unsigned little-endian length whose 4 bytes end back bytes before
// end (back counts the length field itself).
bool ReadLength(ByteStream* file, uint32_t end, uint64_t back, uint32_t* value) {
    if (back < 4 || !SeekBackFrom(file, end, back)) return false;
    uint8_t bytes[4];
    if (StreamRead(file, bytes, 4) != 4) return false;
    *value = Le32At(bytes);
    return true;
}

// Copies count bytes from the file's position into target. All or nothing:
// when fewer arrive, target gets its old size and position back. A memory
// target is sized first and the bytes are read straight into its block,
// once (a 16 MiB patch is never held twice); any other target gets them
// through a buffer of the count.
bool CopyWhole(ByteStream* target, ByteStream* file, uint32_t count) {
    const uint32_t oldSize = StreamGetSize(target);
    const uint32_t oldPosition = StreamPosition(target);
    const uint64_t end = static_cast<uint64_t>(oldPosition) + count;
    bool copied;
    if (target->methods->SetSize == MemoryStreamTable.SetSize) {
        // A memory stream's position never lies past its size.
        copied = end < InvalidPosition && (end <= oldSize || StreamSetSize(target, static_cast<uint32_t>(end))) &&
                 StreamRead(file, target->block + oldPosition, count) == count;
        if (copied) target->position = static_cast<uint32_t>(end);
    } else {
        uint8_t* buffer = count ? static_cast<uint8_t*>(malloc(count)) : nullptr;
        copied = !count || (buffer && StreamRead(file, buffer, count) == count &&
                            StreamWrite(target, buffer, count) == count);
        free(buffer);
    }
    if (copied) return true;
    StreamSetSize(target, oldSize);
    if (oldPosition != InvalidPosition) SetStreamPosition(target, static_cast<int32_t>(oldPosition));
    return false;
}

}  // namespace

bool ReadPatchContainer(const ByteString& path, ByteStream* patchOut, ByteString* descriptionOut,
                        PatchContainerInfo* info) {
    return ReadPatchContainerFrom(OpenReadOnlyFileStream(path), patchOut, descriptionOut, info);
}

bool ReadPatchContainerFrom(ByteStream* file, ByteStream* patchOut, ByteString* descriptionOut,
                            PatchContainerInfo* info) {
    PatchContainerInfo found = {};
    ByteString description;

    ByteStream* patch = patchOut ? patchOut : CreateMemoryStream();
    // GetSize gives 0 for a file that could not be opened or sized; every
    // check below then fails and both blocks stay empty.
    found.fileSize = StreamGetSize(file);
    const uint32_t end = PayloadEnd(file, found.fileSize);
    found.payloadEnd = end;
    found.payloadOffset = end;

    // Every length is checked against the file size before it steers a seek
    // or a copy: the blocks can neither start before the file nor be larger
    // than it.
    uint32_t l1 = 0;
    if (patch && ReadLength(file, end, 4, &l1)) {
        found.l1 = l1;
        if (l1 >= 4 && l1 <= end && SeekBackFrom(file, end, l1) && CopyWhole(patch, file, l1 - 4)) {
            found.l1Valid = true;
            found.payloadOffset = end - l1;
        }
    }

    uint32_t l2 = 0;
    if (found.l1Valid && ReadLength(file, end, static_cast<uint64_t>(l1) + 4, &l2)) {
        found.l2 = l2;
        uint32_t room = end - l1;
        // Read straight into the text, sized first (l2 is checked against
        // the file): whole or not at all.
        if (l2 >= 4 && l2 <= room && SeekBackFrom(file, end, static_cast<uint64_t>(l1) + l2) &&
            description.SetLength(l2 - 4) && StreamRead(file, description.Data(), l2 - 4) == l2 - 4) {
            found.l2Valid = true;
            found.payloadOffset = room - l2;
        } else {
            description = ByteString();
        }
    }

    Release(file);
    if (!patchOut) Release(patch);
    if (descriptionOut) *descriptionOut = static_cast<ByteString&&>(description);
    if (info) *info = found;
    return found.l1Valid;
}

namespace {

const char kExtensionMagic[4] = {'T', 's', 'E', 'x'};
const uint32_t kTrailerSize = 12;  // fields size, version, magic
enum : uint8_t { FieldCodePage = 1, FieldTitle = 2, FieldFacts = 3, FieldVariant = 4, FieldVariantPiece = 5 };
const uint32_t kVariantFactsSize = 24;  // six u32: the four facts, then the two body CRC-32s
const uint32_t kPieceMax = 0xFFFF - 1;  // a piece's bytes after its variant's number

bool AppendLe32(ByteString* out, uint32_t value) {
    const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                           static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
    return out->Append(bytes, 4);
}

bool AppendField(ByteString* out, uint8_t type, const char* value, uint32_t size) {
    if (size > 0xFFFF) return false;
    const char head[3] = {static_cast<char>(type), static_cast<char>(size), static_cast<char>(size >> 8)};
    return out->Append(head, 3) && out->Append(value, size);
}

// Every variant after the first has a patch of its own: the latest one's
// pieces are all in once another variant's field (or the end) comes.
bool LatestVariantWhole(const PayloadExtension& extension) {
    return extension.variantCount < 2 || extension.variants[extension.variantCount - 1].patchSize != 0;
}

// A variant field (its six numbers, then its label) or a piece of the
// latest variant's patch, copied to variantBytes at *at. The pieces of a
// variant follow its own field, so each patch lies in one run of bytes;
// the first variant's patch is the patch block and has no pieces.
bool ReadVariantField(uint8_t type, const uint8_t* p, uint32_t size, PayloadExtension* extension, uint32_t* at) {
    uint32_t& count = extension->variantCount;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(extension->variantBytes.Data());
    if (type == FieldVariantPiece) {
        if (size < 1 || p[0] == 0 || p[0] + 1u != count) return false;
        memcpy(bytes + *at, p + 1, size - 1);
        *at += size - 1;
        extension->variants[p[0]].patchSize += size - 1;
        return true;
    }
    if (size < kVariantFactsSize || size - kVariantFactsSize > MaxVariantLabel || count == MaxPatchVariants ||
        !LatestVariantWhole(*extension))
        return false;
    PatchVariant& v = extension->variants[count++];
    uint32_t* numbers = &v.facts.originalSize;  // the four facts, then the two body CRC-32s
    for (int i = 0; i < 6; ++i) numbers[i] = Le32At(p + 4 * i);
    v.labelAt = *at;
    v.labelSize = size - kVariantFactsSize;
    memcpy(bytes + *at, p + kVariantFactsSize, v.labelSize);
    *at += v.labelSize;
    v.patchAt = *at;
    v.patchSize = 0;
    return true;
}

// Reads the fields, all of which lie inside [p, end), into an extension
// that starts out empty. False at the first field that does not fit or a
// known field of the wrong size. Labels and patches of variants go to
// variantBytes, sized for the whole fields area (they cannot need more)
// and cut to what they took.
bool ReadFields(const uint8_t* p, const uint8_t* end, PayloadExtension* extension) {
    uint32_t at = 0;
    if (!extension->variantBytes.SetLength(static_cast<uint32_t>(end - p))) return false;
    while (p != end) {
        if (end - p < 3) return false;
        uint8_t type = p[0];
        uint32_t size = static_cast<uint32_t>(p[1]) | static_cast<uint32_t>(p[2]) << 8;
        p += 3;
        if (static_cast<uint32_t>(end - p) < size) return false;
        if (type == FieldCodePage) {
            if (size != 4) return false;
            extension->codePage = Le32At(p);
        } else if (type == FieldTitle) {
            extension->title = ByteString();
            if (!extension->title.Append(p, size)) return false;
        } else if (type == FieldFacts) {
            if (size != sizeof(TargetFacts)) return false;
            extension->hasFacts = true;
            uint32_t* facts = &extension->facts.originalSize;
            for (int i = 0; i < 4; ++i) facts[i] = Le32At(p + 4 * i);
        } else if (type == FieldVariant || type == FieldVariantPiece) {
            if (!ReadVariantField(type, p, size, extension, &at)) return false;
        }
        p += size;
    }
    return LatestVariantWhole(*extension) && extension->variantBytes.SetLength(at);
}

void ClearExtension(PayloadExtension* extension) {
    extension->present = false;
    extension->codePage = 0;
    extension->title = ByteString();
    extension->hasFacts = false;
    extension->variantCount = 0;  // ReadVariant starts each one afresh
    extension->variantBytes = ByteString();
}

bool AppendVariant(ByteString* fields, const PayloadExtension& extension, uint32_t number) {
    const PatchVariant& v = extension.variants[number];
    ByteString value;
    const uint32_t* numbers = &v.facts.originalSize;
    bool ok = v.labelSize <= MaxVariantLabel;
    for (int i = 0; ok && i < 6; ++i) ok = AppendLe32(&value, numbers[i]);
    ok = ok && value.Append(VariantLabel(extension, number)) &&
         AppendField(fields, FieldVariant, value.Data(), value.Length());
    // The first variant's patch is the patch block.
    const uint8_t* patch = VariantPatch(extension, number);
    for (uint32_t at = 0; ok && number > 0 && at < v.patchSize; at += kPieceMax) {
        const uint32_t take = v.patchSize - at < kPieceMax ? v.patchSize - at : kPieceMax;
        ByteString piece;
        const char head = static_cast<char>(number);
        ok = piece.Append(&head, 1) && piece.Append(patch + at, take) &&
             AppendField(fields, FieldVariantPiece, piece.Data(), piece.Length());
    }
    return ok && (number == 0 || v.patchSize);
}

}  // namespace

bool AddPatchVariant(PayloadExtension* extension, const PatchVariant& numbers, const ByteString& label,
                     const uint8_t* patch, uint32_t patchSize) {
    if (extension->variantCount == MaxPatchVariants || label.Length() > MaxVariantLabel) return false;
    PatchVariant& v = extension->variants[extension->variantCount];
    v = numbers;
    v.labelAt = extension->variantBytes.Length();
    v.labelSize = label.Length();
    v.patchAt = v.labelAt + v.labelSize;
    v.patchSize = patchSize;
    if (!extension->variantBytes.Append(label) ||
        !extension->variantBytes.Append(reinterpret_cast<const char*>(patch), patchSize))
        return false;
    ++extension->variantCount;
    return true;
}

void SplitDescriptionBlock(const ByteString& block, ByteString* text, PayloadExtension* extension) {
    // Whatever the caller's extension held goes first.
    ClearExtension(extension);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(block.CStr());
    uint32_t n = block.Length();
    // The trailer, then a fields size that leaves room for the NUL before
    // the fields: every later read stays inside the block.
    uint32_t room = n > kTrailerSize ? n - kTrailerSize : 0;  // the text's NUL and the fields
    uint32_t fieldsSize = room ? Le32At(bytes + room) : 0;
    uint32_t fieldsStart = room - fieldsSize;
    const uint8_t* fields = bytes + fieldsStart;
    if (fieldsSize < room && memcmp(bytes + n - 4, kExtensionMagic, 4) == 0 &&
        Le32At(bytes + n - 8) == PayloadExtensionVersion && bytes[fieldsStart - 1] == 0 &&
        ReadFields(fields, fields + fieldsSize, extension)) {
        extension->present = true;
        *text = ByteString(bytes, fieldsStart - 1);
        return;
    }
    // Not an extension after all: whatever a field set goes again.
    ClearExtension(extension);
    *text = block;
}

ByteString ComposeDescriptionBlock(const ByteString& text, const PayloadExtension& extension) {
    ByteString fields;
    bool ok = true;
    if (extension.codePage) {
        char value[4] = {static_cast<char>(extension.codePage), static_cast<char>(extension.codePage >> 8),
                         static_cast<char>(extension.codePage >> 16),
                         static_cast<char>(extension.codePage >> 24)};
        ok = AppendField(&fields, FieldCodePage, value, 4);
    }
    if (ok && !extension.title.Empty())
        ok = AppendField(&fields, FieldTitle, extension.title.Data(), extension.title.Length());
    if (ok && extension.hasFacts) {
        ByteString facts;
        ok = AppendLe32(&facts, extension.facts.originalSize) && AppendLe32(&facts, extension.facts.originalCrc) &&
             AppendLe32(&facts, extension.facts.resultSize) && AppendLe32(&facts, extension.facts.resultCrc) &&
             AppendField(&fields, FieldFacts, facts.Data(), facts.Length());
    }
    for (uint32_t v = 0; ok && v < extension.variantCount; ++v) ok = AppendVariant(&fields, extension, v);
    ByteString block(text);
    ok = ok && block.Length() == text.Length() && block.Append("\0", 1) && block.Append(fields) &&
         AppendLe32(&block, fields.Length()) && AppendLe32(&block, PayloadExtensionVersion) &&
         block.Append(kExtensionMagic, 4);
    return ok ? block : ByteString();
}
