// Inside the platform layer: how the temporaries of file_replace.h are
// named, "<name>.tessel-XXXXXX.tmp", so that the clean-up finds exactly
// them.
#pragma once
#include <stdint.h>

#include "base/byte_string.h"

const char kTemporaryInfix[] = ".tessel-";
const char kTemporarySuffix[] = ".tmp";
const uint32_t kTemporaryTagLength = 6;

// Six letters or digits drawn from random (36^6 names fit in 32 bits, and
// 32-bit division keeps the runtime's 64-bit helpers out of the program).
void TemporaryTag(uint32_t random, char tag[kTemporaryTagLength]);
// path + ".tessel-" + the tag + ".tmp".
ByteString TemporaryNameFor(const ByteString& path, uint32_t random);

// Whether name (a file name without its folder) is base + ".tessel-" + six
// letters or digits + ".tmp"; Unit is char or char16_t.
template <typename Unit>
bool IsTemporaryName(const Unit* name, uint32_t nameLength, const Unit* base, uint32_t baseLength) {
    const uint32_t infix = sizeof kTemporaryInfix - 1, suffix = sizeof kTemporarySuffix - 1;
    if (nameLength != baseLength + infix + kTemporaryTagLength + suffix) return false;
    for (uint32_t i = 0; i < baseLength; ++i)
        if (name[i] != base[i]) return false;
    name += baseLength;
    for (uint32_t i = 0; i < infix; ++i)
        if (name[i] != static_cast<Unit>(kTemporaryInfix[i])) return false;
    name += infix;
    for (uint32_t i = 0; i < kTemporaryTagLength; ++i) {
        const Unit c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
    }
    name += kTemporaryTagLength;
    for (uint32_t i = 0; i < suffix; ++i)
        if (name[i] != static_cast<Unit>(kTemporarySuffix[i])) return false;
    return true;
}
