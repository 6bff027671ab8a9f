// Real files for the stream and container tests: a private temporary folder
// per test, and whole-file reads and writes through the C library (so the
// checks do not go through the code under test).
#pragma once
#include <stdint.h>
#include <stdio.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>

#include "patch/byte_stream.h"
#include "base/byte_string.h"

namespace streamtest {

typedef std::string Bytes;

// A memory stream holding data, positioned at position.
inline ByteStream* MemoryWith(const Bytes& data, uint32_t position) {
    ByteStream* s = CreateMemoryStream();
    if (!data.empty()) StreamWrite(s, data.data(), static_cast<uint32_t>(data.size()));
    SetStreamPosition(s, static_cast<int32_t>(position));
    return s;
}

// The data of a memory stream, read straight from its block.
inline Bytes Contents(ByteStream* s) {
    return s->size ? Bytes(reinterpret_cast<const char*>(s->block), s->size) : Bytes();
}

inline ByteString ToByteString(const std::string& s) {
    return ByteString(s.data(), static_cast<uint32_t>(s.size()));
}

inline std::string FromByteString(const ByteString& s) {
    return std::string(s.Data() ? s.Data() : "", s.Length());
}

class TempDir {
public:
    TempDir() {
        namespace fs = std::filesystem;
        static unsigned counter = 0;
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        for (int attempt = 0; attempt < 100; ++attempt) {
            fs::path candidate = fs::temp_directory_path() /
                ("tessel-streams-" + std::to_string(stamp) + "-" + std::to_string(++counter));
            std::error_code error;
            if (fs::create_directory(candidate, error)) {
                root_ = candidate;
                return;
            }
        }
    }
    ~TempDir() {
        std::error_code error;
        if (!root_.empty()) std::filesystem::remove_all(root_, error);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool Ok() const { return !root_.empty(); }
    std::string Path(const std::string& name) const { return (root_ / name).string(); }
    ByteString PathBytes(const std::string& name) const { return ToByteString(Path(name)); }

private:
    std::filesystem::path root_;
};

inline bool WriteAll(const std::string& path, const Bytes& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

inline bool AppendAll(const std::string& path, const Bytes& bytes) {
    FILE* f = fopen(path.c_str(), "ab");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

// The whole file, or "<missing>" when it cannot be opened.
inline Bytes ReadAll(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return "<missing>";
    Bytes data;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) data.append(chunk, n);
    fclose(f);
    return data;
}

// Bytes that differ from position to position, so a shifted copy shows.
inline Bytes Pattern(size_t n, unsigned seed = 1) {
    Bytes data(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        data[i] = static_cast<char>(x >> 24);
    }
    return data;
}

inline Bytes LittleEndian32(uint32_t v) {
    Bytes b(4, '\0');
    for (int i = 0; i < 4; ++i) b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return b;
}

// description | L2 | patch | L1, as the publisher appends it.
inline Bytes Payload(const Bytes& description, const Bytes& patch) {
    return description + LittleEndian32(static_cast<uint32_t>(description.size() + 4)) + patch +
           LittleEndian32(static_cast<uint32_t>(patch.size() + 4));
}

}  // namespace streamtest
