// Just enough of the PE/COFF layout to tell a Windows executable from other
// files and to know where its image ends in the file. A payload is only ever
// looked for past that point, so the zero padding of a stub's last section
// (or code that happens to look like two lengths) is never taken for one.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

struct PeSection {
    std::string name;  // up to 8 characters
    uint64_t header;   // file offset of its 40-byte entry in the section table
    uint32_t virtualAddress, virtualSize, rawPointer, rawSize;
};

struct PeLayout {
    uint16_t machine;   // 0x014C i386, 0x8664 x86-64
    uint16_t subsystem; // 2 Windows GUI, 3 console; 0 when the optional header is too short to say
    uint64_t imageEnd;  // first file offset after the headers and every section's raw data
    // Where the optional header's fields are (0: the header is too short to
    // hold them): CheckSum, and the entries (RVA, size) of the data
    // directories the tool touches.
    uint64_t checksumField = 0;
    uint64_t resourceEntry = 0;  // data directory 2
    uint64_t securityEntry = 0;  // data directory 4: file offset and size of a certificate table
    uint64_t relocationEntry = 0;  // data directory 5
    uint64_t sizeOfImageField = 0;
    uint32_t sectionAlignment = 0, fileAlignment = 0;
    uint32_t securityTable = 0, securitySize = 0;  // as the security directory names them
    std::vector<PeSection> sections;
};

// False with a reason when bytes are not a PE executable whose headers and
// section table lie inside the file.
bool ReadPeLayout(const std::string& bytes, PeLayout& layout, std::string& reason);

// A certificate table as a signing tool leaves it: named by the security
// directory, ending the file (the rule the program reads its payload by).
bool HasSignatureTable(const PeLayout& layout, uint64_t fileSize);

// The image checksum the loader and signing tools compute: the file as
// 16-bit little-endian words, the CheckSum field counted as zero, summed
// with end-around carry, plus the file's length.
uint32_t PeChecksum(const std::string& file, uint64_t checksumField);
uint32_t ReadLe32(const std::string& bytes, uint64_t at);
void WriteLe32(std::string& bytes, uint64_t at, uint32_t value);
