#include "platform/conversions.h"

ByteString HexDigits(uint32_t value, int32_t minDigits) {
    // Built backwards from the least significant nibble; 32 bits need at
    // most 8 digits, a minimum at most 15.
    char digits[16];
    uint32_t want = static_cast<uint32_t>(minDigits) & 15u;
    uint32_t n = 0;
    do {
        uint32_t nibble = value & 15u;
        digits[15 - n] = static_cast<char>(nibble < 10 ? '0' + nibble : 'A' + (nibble - 10));
        value >>= 4;
        ++n;
    } while (value != 0 || n < want);
    return ByteString(digits + 16 - n, n);
}

ByteString DecimalDigits(int32_t value) {
    char digits[12];
    uint32_t n = 0;
    // Magnitude as unsigned, so -2147483648 has one.
    uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        digits[11 - n] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
        ++n;
    } while (magnitude != 0);
    if (value < 0) digits[11 - n++] = '-';
    return ByteString(digits + 12 - n, n);
}

ByteString UpperAscii(const ByteString& text) {
    ByteString copy(text);
    char* p = copy.Data();
    for (uint32_t i = 0; i < copy.Length(); ++i)
        if (p[i] >= 'a' && p[i] <= 'z') p[i] = static_cast<char>(p[i] - 0x20);
    return copy;
}

int64_t ParseHex64(const ByteString& text) {
    ByteString upper = UpperAscii(text);
    uint32_t n = upper.Length();
    if (n > 0 && upper[n - 1] == 'H') --n;
    uint64_t result = 0;  // unsigned: bits shifted out are simply lost
    for (uint32_t i = 0; i < n; ++i) {
        char c = upper[i];
        result <<= 4;
        if (c >= '0' && c <= '9') {
            result += static_cast<uint64_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            result += static_cast<uint64_t>(c - 'A' + 10);
        } else {
            result = 0;
            break;
        }
    }
    return static_cast<int64_t>(result);
}

ByteString WideToUtf8Text(const WideString& text) { return WideToUtf8Text(text.Data(), text.Length()); }
