#include "tools/tessel_pack/pe_layout.h"

static uint32_t Read16(const std::string& b, uint64_t at) {
    return static_cast<uint8_t>(b[at]) | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8;
}

static uint32_t Read32(const std::string& b, uint64_t at) {
    return Read16(b, at) | Read16(b, at + 2) << 16;
}

bool ReadPeLayout(const std::string& bytes, PeLayout& layout, std::string& reason) {
    const uint64_t size = bytes.size();
    if (size < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') {
        reason = "not a Windows executable (no MZ header)";
        return false;
    }
    const uint64_t pe = Read32(bytes, 0x3C);
    // Signature (4) + COFF file header (20).
    if (pe + 24 > size || bytes.compare(pe, 4, std::string("PE\0\0", 4)) != 0) {
        reason = "not a Windows executable (no PE header)";
        return false;
    }
    const uint32_t sectionCount = Read16(bytes, pe + 6);
    const uint32_t optionalSize = Read16(bytes, pe + 20);
    const uint64_t table = pe + 24 + optionalSize;
    const uint64_t tableEnd = table + 40ull * sectionCount;
    if (tableEnd > size) {
        reason = "not a Windows executable (section table outside the file)";
        return false;
    }
    uint64_t end = tableEnd;
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint64_t entry = table + 40ull * i;
        const uint64_t rawSize = Read32(bytes, entry + 16);
        const uint64_t rawPointer = Read32(bytes, entry + 20);
        if (rawSize == 0) continue;  // uninitialised data (.bss) has no bytes in the file
        if (rawPointer + rawSize > size) {
            reason = "damaged Windows executable (a section lies past the end of the file)";
            return false;
        }
        if (rawPointer + rawSize > end) end = rawPointer + rawSize;
    }
    // An unstripped image keeps its COFF symbol table and string table after
    // the sections; they belong to the executable as built.
    const uint64_t symbols = Read32(bytes, pe + 12);
    const uint64_t symbolCount = Read32(bytes, pe + 16);
    if (symbols != 0 && symbolCount != 0) {
        const uint64_t strings = symbols + 18 * symbolCount;
        if (strings + 4 <= size) {
            const uint64_t stringsEnd = strings + Read32(bytes, strings);
            end = stringsEnd <= size && stringsEnd > end ? stringsEnd : (strings > end ? strings : end);
        }
    }
    layout.machine = static_cast<uint16_t>(Read16(bytes, pe + 4));
    // The subsystem field is at offset 68 of both the PE32 and the PE32+
    // optional header.
    layout.subsystem = optionalSize >= 70 ? static_cast<uint16_t>(Read16(bytes, pe + 24 + 68)) : 0;
    layout.imageEnd = end;
    return true;
}
