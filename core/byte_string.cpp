#include "core/byte_string.h"

#include <stdlib.h>
#include <string.h>

ByteString::ByteString(const char* text) : data_(nullptr), length_(0) {
    if (text) Append(text, static_cast<uint32_t>(strlen(text)));
}

ByteString::ByteString(const void* bytes, uint32_t length) : data_(nullptr), length_(0) {
    Append(bytes, length);
}

ByteString::ByteString(const ByteString& other) : data_(nullptr), length_(0) {
    Append(other.data_, other.length_);
}

ByteString::ByteString(ByteString&& other) noexcept : data_(other.data_), length_(other.length_) {
    other.data_ = nullptr;
    other.length_ = 0;
}

ByteString& ByteString::operator=(const ByteString& other) {
    if (this != &other) {
        ByteString copy(other);
        *this = static_cast<ByteString&&>(copy);
    }
    return *this;
}

ByteString& ByteString::operator=(ByteString&& other) noexcept {
    if (this != &other) {
        free(data_);
        data_ = other.data_;
        length_ = other.length_;
        other.data_ = nullptr;
        other.length_ = 0;
    }
    return *this;
}

ByteString::~ByteString() { free(data_); }

bool ByteString::SetLength(uint32_t n) {
    if (n == 0) {
        free(data_);
        data_ = nullptr;
        length_ = 0;
        return true;
    }
    if (n == UINT32_MAX) return false;  // no room for the terminator
    char* grown = static_cast<char*>(realloc(data_, static_cast<size_t>(n) + 1));
    if (!grown) return false;
    if (n > length_) memset(grown + length_, 0, n - length_);
    grown[n] = 0;
    data_ = grown;
    length_ = n;
    return true;
}

bool ByteString::Append(const void* bytes, uint32_t n) {
    if (n == 0) return true;
    uint32_t old = length_;
    if (n > UINT32_MAX - 1 - old) return false;
    // bytes may point into this string: copy its offset before realloc.
    const char* source = static_cast<const char*>(bytes);
    bool inside = data_ && source >= data_ && source < data_ + old;
    size_t offset = inside ? static_cast<size_t>(source - data_) : 0;
    if (!SetLength(old + n)) return false;
    memmove(data_ + old, inside ? data_ + offset : source, n);
    return true;
}

bool ByteString::Append(const char* text) {
    return text ? Append(text, static_cast<uint32_t>(strlen(text))) : true;
}

bool ByteString::operator==(const ByteString& other) const {
    return length_ == other.length_ && (length_ == 0 || memcmp(data_, other.data_, length_) == 0);
}

ByteString operator+(const ByteString& a, const ByteString& b) {
    ByteString joined(a);
    joined.Append(b);
    return joined;
}
