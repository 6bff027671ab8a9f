#include "core/wide_string.h"

#include <stdlib.h>
#include <string.h>

uint32_t WideLength(const char16_t* text) {
    uint32_t n = 0;
    if (text)
        while (text[n]) ++n;
    return n;
}

WideString::WideString(const char16_t* text) : data_(nullptr), length_(0) {
    Append(text, WideLength(text));
}

WideString::WideString(const char16_t* units, uint32_t length) : data_(nullptr), length_(0) {
    Append(units, length);
}

WideString::WideString(const WideString& other) : data_(nullptr), length_(0) {
    Append(other.data_, other.length_);
}

WideString::WideString(WideString&& other) noexcept : data_(other.data_), length_(other.length_) {
    other.data_ = nullptr;
    other.length_ = 0;
}

WideString& WideString::operator=(const WideString& other) {
    if (this != &other) {
        WideString copy(other);
        *this = static_cast<WideString&&>(copy);
    }
    return *this;
}

WideString& WideString::operator=(WideString&& other) noexcept {
    if (this != &other) {
        free(data_);
        data_ = other.data_;
        length_ = other.length_;
        other.data_ = nullptr;
        other.length_ = 0;
    }
    return *this;
}

WideString::~WideString() { free(data_); }

bool WideString::SetLength(uint32_t n) {
    if (n == 0) {
        free(data_);
        data_ = nullptr;
        length_ = 0;
        return true;
    }
    // Unit count plus terminator, in bytes, must fit a size_t on i686 too.
    if (n >= (UINT32_MAX / sizeof(char16_t)) - 1) return false;
    char16_t* grown = static_cast<char16_t*>(realloc(data_, (static_cast<size_t>(n) + 1) * sizeof(char16_t)));
    if (!grown) return false;
    if (n > length_) memset(grown + length_, 0, (n - length_) * sizeof(char16_t));
    grown[n] = 0;
    data_ = grown;
    length_ = n;
    return true;
}

bool WideString::Append(const char16_t* units, uint32_t n) {
    if (n == 0 || !units) return true;
    uint32_t old = length_;
    if (n > UINT32_MAX - 2 - old) return false;
    const char16_t* source = units;
    bool inside = data_ && source >= data_ && source < data_ + old;
    size_t offset = inside ? static_cast<size_t>(source - data_) : 0;
    if (!SetLength(old + n)) return false;
    memmove(data_ + old, inside ? data_ + offset : source, n * sizeof(char16_t));
    return true;
}

bool WideString::operator==(const WideString& other) const {
    return length_ == other.length_ &&
           (length_ == 0 || memcmp(data_, other.data_, length_ * sizeof(char16_t)) == 0);
}
