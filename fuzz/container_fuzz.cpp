// The payload reader on arbitrary file tails. The input follows a fixed
// stand-in for the executable image in a real file; what the reader returns
// is compared with a direct reading of the same bytes, and nothing it hands
// back may be larger than the file.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "patch/patch_container.h"

namespace {

const char image[] = "MZ\x90\0tessel container fuzz image, stands in for the executable";

std::string& TempPath() {
    static std::string path;
    if (path.empty()) {
        char name[] = "/tmp/tessel-container-fuzz-XXXXXX";
        int fd = mkstemp(name);
        if (fd < 0) abort();
        close(fd);
        path = name;
        atexit([] { unlink(TempPath().c_str()); });
    }
    return path;
}

uint32_t Le32(const std::string& s, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24;
}

void Check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "container invariant broken: %s\n", what);
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string file(image, sizeof image - 1);
    file.append(reinterpret_cast<const char*>(data), size);
    FILE* f = fopen(TempPath().c_str(), "wb");
    if (!f) abort();
    if (fwrite(file.data(), 1, file.size(), f) != file.size()) abort();
    fclose(f);

    // What the bytes say, read directly.
    const uint32_t n = static_cast<uint32_t>(file.size());
    uint32_t l1 = Le32(file, n - 4);
    bool l1Valid = l1 >= 4 && l1 <= n;
    std::string patch, description;
    bool l2Valid = false;
    uint32_t l2 = 0;
    if (l1Valid) {
        patch = file.substr(n - l1, l1 - 4);
        if (n - l1 >= 4) {
            l2 = Le32(file, n - l1 - 4);
            l2Valid = l2 >= 4 && l2 <= n - l1;
            if (l2Valid) description = file.substr(n - l1 - l2, l2 - 4);
        }
    }

    ByteStream* stream = CreateMemoryStream();
    ByteString text("stale");
    PatchContainerInfo info;
    memset(&info, 0xA5, sizeof info);
    bool ok = ReadPatchContainer(ByteString(TempPath().c_str()), stream, &text, &info);

    Check(ok == l1Valid && info.l1Valid == l1Valid, "L1 validity");
    Check(info.l2Valid == l2Valid, "L2 validity");
    Check(info.fileSize == n, "file size");
    Check(info.l1 == l1, "L1 as read");
    Check(!l1Valid || n - l1 < 4 || info.l2 == l2, "L2 as read");
    Check(stream->size <= n && text.Length() <= n, "never more than the file holds");
    Check(stream->capacity == 0 || stream->capacity <= ((n | 0x3FFFu) + 1), "allocation bounded by the file");
    Check(stream->size == patch.size(), "patch size is L1 - 4");
    Check(stream->position == stream->size, "patch positioned at its end");
    Check(patch.empty() || memcmp(stream->block, patch.data(), patch.size()) == 0, "patch bytes");
    Check(text.Length() == description.size(), "description size is L2 - 4");
    Check(description.empty() || memcmp(text.Data(), description.data(), description.size()) == 0,
          "description bytes");
    uint32_t start = !l1Valid ? n : !l2Valid ? n - l1 : n - l1 - l2;
    Check(info.payloadOffset == start, "payload offset");

    // The extension, read directly: trailer, a size that leaves room for
    // the NUL, and fields that tile the rest exactly.
    ByteString split("stale");
    PayloadExtension extension;
    SplitDescriptionBlock(text, &split, &extension);
    const size_t d = description.size();
    bool present = d >= 13 && description.compare(d - 4, 4, "TsEx") == 0 && Le32(description, d - 8) == 1 &&
                   Le32(description, d - 12) <= d - 13;
    size_t fieldsStart = present ? d - 12 - Le32(description, d - 12) : 0;
    present = present && description[fieldsStart - 1] == '\0';
    // Variants: a field each (24 bytes of numbers, a label of at most 255
    // bytes, at most 16 of them); pieces of a later variant's patch after
    // its own field, and every later variant with some.
    size_t variants = 0, pieces[16] = {};
    std::string joined[16];
    for (size_t p = fieldsStart; present && p < d - 12;) {
        size_t type = static_cast<uint8_t>(description[p]);
        size_t size = p + 3 <= d - 12 ? static_cast<uint8_t>(description[p + 1]) |
                                            static_cast<size_t>(static_cast<uint8_t>(description[p + 2])) << 8
                                      : 0;
        present = p + 3 + size <= d - 12 && (type != 1 || size == 4) && (type != 3 || size == 16);
        if (present && type == 4) present = size >= 24 && size <= 24 + 255 && variants++ < 16;
        if (present && type == 5) {
            const size_t number = size ? static_cast<uint8_t>(description[p + 3]) : 0;
            present = number >= 1 && number < variants;
            if (present) {
                pieces[number] += size - 1;
                joined[number] += description.substr(p + 4, size - 1);
            }
        }
        p += 3 + size;
    }
    for (size_t v = 1; present && v < variants; ++v) present = pieces[v] > 0;
    Check(extension.present == present, "extension found exactly when its layout holds");
    const std::string expectedText = present ? description.substr(0, fieldsStart - 1) : description;
    Check(split.Length() == expectedText.size() &&
              (expectedText.empty() || memcmp(split.Data(), expectedText.data(), expectedText.size()) == 0),
          "text before the extension");
    Check(extension.title.Length() <= d, "title inside the block");
    Check(extension.variantCount == (present ? variants : 0), "variants counted");
    for (size_t v = 1; v < extension.variantCount; ++v)
        Check(extension.variants[v].patchSize == joined[v].size() &&
                  memcmp(VariantPatch(extension, v), joined[v].data(), joined[v].size()) == 0,
              "a variant's patch is its pieces joined");
    if (present) {
        // Written again, the fields known to the reader give a block it reads the same way.
        ByteString again, againText;
        PayloadExtension reread;
        again = ComposeDescriptionBlock(split, extension);
        SplitDescriptionBlock(again, &againText, &reread);
        Check(reread.present && againText == split && reread.title == extension.title &&
                  reread.codePage == extension.codePage && reread.hasFacts == extension.hasFacts &&
                  (!reread.hasFacts || memcmp(&reread.facts, &extension.facts, sizeof reread.facts) == 0),
              "extension round trip");
        Check(reread.variantCount == extension.variantCount, "variants round trip");
        for (size_t v = 0; v < reread.variantCount; ++v)
            Check(VariantLabel(reread, v) == VariantLabel(extension, v) &&
                      memcmp(&reread.variants[v], &extension.variants[v], sizeof(PatchVariant)) == 0 &&
                      memcmp(VariantPatch(reread, v), VariantPatch(extension, v), reread.variants[v].patchSize) == 0,
                  "a variant round trip");
    }
    Release(stream);
    return 0;
}
