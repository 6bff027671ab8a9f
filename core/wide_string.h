// Counted UTF-16 text (char16_t code units), the wide side of the code-page
// conversions. Same shape as ByteString: a value type, malloc-backed, always
// terminated by a 0 unit that is not counted, so Data() can be handed to the
// W-suffixed Win32 calls (char16_t and WCHAR are both 16-bit code units).
// Allocation failure leaves the text empty rather than throwing.
#pragma once
#include <stddef.h>
#include <stdint.h>

class WideString {
public:
    WideString() : data_(nullptr), length_(0) {}
    // NUL-terminated text, e.g. a u"..." literal; null gives empty text.
    explicit WideString(const char16_t* text);
    WideString(const char16_t* units, uint32_t length);
    WideString(const WideString& other);
    WideString(WideString&& other) noexcept;
    WideString& operator=(const WideString& other);
    WideString& operator=(WideString&& other) noexcept;
    ~WideString();

    uint32_t Length() const { return length_; }
    bool Empty() const { return length_ == 0; }
    // Never null: an empty text yields a pointer to a 0 unit.
    const char16_t* CStr() const { return data_ ? data_ : u""; }
    char16_t* Data() { return data_; }
    const char16_t* Data() const { return data_; }

    // Makes room for n units (contents kept up to the old length, new units
    // zero); false and unchanged when the heap refuses. SetLength(0) frees.
    bool SetLength(uint32_t n);
    bool Append(const char16_t* units, uint32_t n);

    bool operator==(const WideString& other) const;
    bool operator!=(const WideString& other) const { return !(*this == other); }
    char16_t operator[](uint32_t i) const { return data_[i]; }

private:
    char16_t* data_;
    uint32_t length_;
};

// Units in a NUL-terminated UTF-16 text (0 for null).
uint32_t WideLength(const char16_t* text);
