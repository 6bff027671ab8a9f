// Counted string of 8-bit characters in one code page (the thread's ANSI code
// page inside the program). Always NUL-terminated so it can go straight to
// the A-suffixed Win32 calls; the terminator is not counted.
//
// A value type: copies own their bytes. Allocation failure leaves the string
// empty rather than throwing (the runtime is built without exceptions).
#pragma once
#include <stddef.h>
#include <stdint.h>

class ByteString {
public:
    ByteString() : data_(nullptr), length_(0) {}
    explicit ByteString(const char* text);
    ByteString(const void* bytes, uint32_t length);
    ByteString(const ByteString& other);
    ByteString(ByteString&& other) noexcept;
    ByteString& operator=(const ByteString& other);
    ByteString& operator=(ByteString&& other) noexcept;
    ~ByteString();

    uint32_t Length() const { return length_; }
    bool Empty() const { return length_ == 0; }
    // Never null: an empty string yields "".
    const char* CStr() const { return data_ ? data_ : ""; }
    char* Data() { return data_; }
    const char* Data() const { return data_; }

    // Makes room for n bytes (contents kept up to the old length, new bytes
    // zero); false and unchanged when the heap refuses. SetLength(0) frees.
    bool SetLength(uint32_t n);
    bool Append(const void* bytes, uint32_t n);
    bool Append(const ByteString& other) { return Append(other.data_, other.length_); }
    bool Append(const char* text);

    bool operator==(const ByteString& other) const;
    bool operator!=(const ByteString& other) const { return !(*this == other); }
    char operator[](uint32_t i) const { return data_[i]; }

private:
    char* data_;
    uint32_t length_;
};

ByteString operator+(const ByteString& a, const ByteString& b);
