// Fixed-size integers stored as bytes: IPS fields are big-endian, the
// payload's lengths and the PE headers little-endian. Callers bound-check
// the bytes before reading them.
#pragma once
#include <stdint.h>

// The big-endian value of count (at most 4) bytes.
// Always inline: with count a constant it is a few shifts, cheaper than
// a call in the scan and the record walks, which run per record.
__attribute__((always_inline)) inline uint32_t ReadBigEndian(const uint8_t* bytes, uint32_t count) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < count; ++i) value = (value << 8) | bytes[i];
    return value;
}

// The little-endian value of count (at most 4) bytes.
inline uint32_t ReadLittleEndian(const uint8_t* bytes, uint32_t count) {
    uint32_t value = 0;
    for (uint32_t i = count; i > 0; --i) value = (value << 8) | bytes[i - 1];
    return value;
}

inline void WriteLittleEndian32(uint8_t* bytes, uint32_t value) {
    for (uint32_t i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}
