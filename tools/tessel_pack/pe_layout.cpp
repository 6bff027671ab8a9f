#include "tools/tessel_pack/pe_layout.h"

static uint32_t Read16(const std::string& b, uint64_t at) {
    return static_cast<uint8_t>(b[at]) | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8;
}

static uint32_t Read32(const std::string& b, uint64_t at) {
    return Read16(b, at) | Read16(b, at + 2) << 16;
}

// The optional header's fields at the same offsets in PE32 and PE32+ up to
// CheckSum; the data directories follow NumberOfRvaAndSizes, which is 16
// bytes further on in PE32+ (its ImageBase and stack sizes are 64-bit).
static void ReadOptionalHeaderFields(const std::string& bytes, uint64_t optional, uint32_t optionalSize,
                                     PeLayout& layout) {
    if (optionalSize < 96) return;
    const uint32_t magic = Read16(bytes, optional);
    if (magic != 0x10B && magic != 0x20B) return;
    layout.sectionAlignment = Read32(bytes, optional + 32);
    layout.fileAlignment = Read32(bytes, optional + 36);
    layout.sizeOfImageField = optional + 56;
    layout.checksumField = optional + 64;
    const uint64_t count = optional + (magic == 0x20B ? 108 : 92);
    const uint64_t directories = count + 4;
    const uint32_t entries = Read32(bytes, count);
    auto entry = [&](uint32_t index) -> uint64_t {
        const uint64_t at = directories + 8ull * index;
        return index < entries && at + 8 <= optional + optionalSize ? at : 0;
    };
    layout.resourceEntry = entry(2);
    layout.securityEntry = entry(4);
    layout.relocationEntry = entry(5);
    if (layout.securityEntry) {
        layout.securityTable = Read32(bytes, layout.securityEntry);
        layout.securitySize = Read32(bytes, layout.securityEntry + 4);
    }
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
    layout.sections.clear();
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint64_t entry = table + 40ull * i;
        const uint64_t rawSize = Read32(bytes, entry + 16);
        const uint64_t rawPointer = Read32(bytes, entry + 20);
        std::string name = bytes.substr(entry, 8);
        name.resize(name.find('\0') == std::string::npos ? 8 : name.find('\0'));
        layout.sections.push_back({name, entry, Read32(bytes, entry + 12), Read32(bytes, entry + 8),
                                   static_cast<uint32_t>(rawPointer), static_cast<uint32_t>(rawSize)});
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
    ReadOptionalHeaderFields(bytes, pe + 24, optionalSize, layout);
    return true;
}

bool HasSignatureTable(const PeLayout& layout, uint64_t fileSize) {
    return layout.securityTable != 0 && layout.securitySize != 0 && layout.securityTable <= fileSize &&
           layout.securitySize == fileSize - layout.securityTable;
}

uint32_t PeChecksum(const std::string& file, uint64_t checksumField) {
    uint64_t sum = 0;
    const uint64_t size = file.size();
    for (uint64_t at = 0; at < size; at += 2) {
        if (at >= checksumField && at < checksumField + 4) continue;
        uint32_t word = static_cast<uint8_t>(file[at]);
        if (at + 1 < size) word |= static_cast<uint32_t>(static_cast<uint8_t>(file[at + 1])) << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + size);
}

uint32_t ReadLe32(const std::string& bytes, uint64_t at) { return Read32(bytes, at); }

void WriteLe32(std::string& bytes, uint64_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}
