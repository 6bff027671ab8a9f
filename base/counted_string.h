// Counted text of 8-bit characters (ByteString: a code page's bytes) or
// 16-bit units (WideString: UTF-16). A value type: copies own their units.
// Always terminated by a 0 unit that is not counted, so Data() can go
// straight to the A- or W-suffixed Win32 calls (char16_t and WCHAR are both
// 16-bit units).
//
// Allocation failure leaves the text as it was and is reported through bool
// results rather than thrown (the runtime is built without exceptions).
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

template <class Unit>
class CountedString {
public:
    CountedString() : data_(nullptr), length_(0) {}
    // NUL-terminated text, e.g. a literal; null gives empty text.
    explicit CountedString(const Unit* text) : data_(nullptr), length_(0) { Append(text); }
    CountedString(const Unit* units, uint32_t length) : data_(nullptr), length_(0) {
        Append(units, length);
    }
    // Raw memory (bytes read from a file, a buffer of another type).
    CountedString(const void* units, uint32_t length) : data_(nullptr), length_(0) {
        Append(static_cast<const Unit*>(units), length);
    }
    CountedString(const CountedString& other) : data_(nullptr), length_(0) {
        Append(other.data_, other.length_);
    }
    CountedString(CountedString&& other) noexcept : data_(other.data_), length_(other.length_) {
        other.data_ = nullptr;
        other.length_ = 0;
    }
    CountedString& operator=(const CountedString& other) {
        if (this != &other) {
            CountedString copy(other);
            *this = static_cast<CountedString&&>(copy);
        }
        return *this;
    }
    CountedString& operator=(CountedString&& other) noexcept {
        if (this != &other) {
            free(data_);
            data_ = other.data_;
            length_ = other.length_;
            other.data_ = nullptr;
            other.length_ = 0;
        }
        return *this;
    }
    ~CountedString() { free(data_); }

    uint32_t Length() const { return length_; }
    bool Empty() const { return length_ == 0; }
    // Never null: an empty text yields a pointer to a 0 unit. Out of line:
    // inlined, each use would carry the 0 unit's absolute address, one more
    // relocation in the i686 program for every call that passes a text.
    __attribute__((noinline)) const Unit* CStr() const { return data_ ? data_ : &kEmpty; }
    Unit* Data() { return data_; }
    const Unit* Data() const { return data_; }
    Unit operator[](uint32_t i) const { return data_[i]; }

    // Makes room for n units (contents kept up to the old length, new units
    // zero); false and unchanged when the heap refuses. SetLength(0) frees.
    bool SetLength(uint32_t n) {
        if (n == 0) {
            free(data_);
            data_ = nullptr;
            length_ = 0;
            return true;
        }
        // Units plus terminator, in bytes, must fit a size_t on i686 too.
        if (n >= UINT32_MAX / sizeof(Unit) - 1) return false;
        Unit* grown = static_cast<Unit*>(realloc(data_, (static_cast<size_t>(n) + 1) * sizeof(Unit)));
        if (!grown) return false;
        if (n > length_) memset(grown + length_, 0, (n - length_) * sizeof(Unit));
        grown[n] = 0;
        data_ = grown;
        length_ = n;
        return true;
    }

    bool Append(const Unit* units, uint32_t n) {
        if (n == 0 || !units) return true;
        uint32_t old = length_;
        if (n > UINT32_MAX - 2 - old) return false;
        // units may point into this text: keep its offset across realloc.
        bool inside = data_ && units >= data_ && units < data_ + old;
        size_t offset = inside ? static_cast<size_t>(units - data_) : 0;
        if (!SetLength(old + n)) return false;
        memmove(data_ + old, inside ? data_ + offset : units, n * sizeof(Unit));
        return true;
    }
    bool Append(const void* units, uint32_t n) { return Append(static_cast<const Unit*>(units), n); }
    bool Append(const Unit* text) { return Append(text, TextLength(text)); }
    bool Append(const CountedString& other) { return Append(other.data_, other.length_); }

    bool operator==(const CountedString& other) const {
        return length_ == other.length_ &&
               (length_ == 0 || memcmp(data_, other.data_, length_ * sizeof(Unit)) == 0);
    }
    bool operator!=(const CountedString& other) const { return !(*this == other); }

    // Units before the first 0 of a terminated text (0 for null).
    static uint32_t TextLength(const Unit* text) {
        uint32_t n = 0;
        if (text)
            while (text[n]) ++n;
        return n;
    }

private:
    static constexpr Unit kEmpty = 0;
    Unit* data_;
    uint32_t length_;
};

template <class Unit>
CountedString<Unit> operator+(const CountedString<Unit>& a, const CountedString<Unit>& b) {
    CountedString<Unit> joined(a);
    joined.Append(b);
    return joined;
}
