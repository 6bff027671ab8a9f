#include "tools/tessel_pack/payload.h"

#include "patch/byte_stream.h"

void ReadCarriedPayload(const std::string& path, CarriedPayload& payload) {
    payload = CarriedPayload();
    ByteStream* patch = CreateMemoryStream();
    if (!patch) return;
    ByteString description;
    const bool found = ReadPatchContainer(ByteString(path.c_str()), patch, &description, &payload.info);
    payload.patchFound = found && payload.info.l1Valid;
    if (payload.patchFound) {
        // Copied once, straight from the memory stream's block, which is
        // released next: a large patch is never in memory three times.
        const uint32_t size = StreamGetSize(patch);
        if (patch->block && patch->size == size) payload.patch.assign(reinterpret_cast<const char*>(patch->block), size);
        if (payload.patch.size() != size || size != payload.info.l1 - 4) payload.patchFound = false;
    }
    if (payload.info.l2Valid) {
        ByteString text;
        SplitDescriptionBlock(description, &text, &payload.extension);
        payload.description.assign(text.CStr(), text.Length());
    }
    Release(patch);
}

uint64_t StubExecutableLength(uint64_t fileSize, const PeLayout& layout,
                              const CarriedPayload& carried) {
    if (!carried.patchFound || FormatOf(carried.patch) == PatchFormatUnknown) return fileSize;
    const uint64_t start = carried.info.payloadOffset;
    if (start < layout.imageEnd || start > fileSize) return fileSize;
    return start;
}

static void AppendLittleEndian(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string ComposePayload(const std::string& description, const std::string& patch) {
    std::string out;
    out.reserve(description.size() + patch.size() + 8);
    out += description;
    AppendLittleEndian(out, static_cast<uint32_t>(description.size() + 4));
    out += patch;
    AppendLittleEndian(out, static_cast<uint32_t>(patch.size() + 4));
    return out;
}

bool FitsInContainer(uint64_t stubLength, uint64_t descriptionLength, uint64_t patchLength) {
    // The program's file streams use 32-bit sizes and positions, so the whole
    // patcher has to stay below 4 GiB, and each length with its own 4 bytes
    // has to fit a 32-bit field.
    return stubLength + descriptionLength + patchLength + 8 <= 0xFFFFFFFFull;
}
