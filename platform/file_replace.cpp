#include "platform/file_replace.h"

#include "platform/file_replace_names.h"

void TemporaryTag(uint32_t random, char tag[kTemporaryTagLength]) {
    // The 36 letters and digits worked out, not looked up: no table in the
    // downloaded program.
    for (uint32_t i = 0; i < kTemporaryTagLength; ++i) {
        const uint32_t c = random % 36;
        tag[i] = static_cast<char>(c < 26 ? 'a' + c : '0' - 26 + c);
        random /= 36;
    }
}

ByteString TemporaryNameFor(const ByteString& path, uint32_t random) {
    char tag[kTemporaryTagLength];
    TemporaryTag(random, tag);
    ByteString name(path);
    name.Append(kTemporaryInfix);
    name.Append(tag, kTemporaryTagLength);
    name.Append(kTemporarySuffix);
    return name;
}
