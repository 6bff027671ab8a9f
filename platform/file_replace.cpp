#include "platform/file_replace.h"

#include "platform/file_replace_names.h"

void TemporaryTag(uint32_t random, char tag[kTemporaryTagLength]) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (uint32_t i = 0; i < kTemporaryTagLength; ++i) {
        tag[i] = kLetters[random % 36];
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
