// Just enough of the PE/COFF layout to tell a Windows executable from other
// files and to know where its image ends in the file. A payload is only ever
// looked for past that point, so the zero padding of a stub's last section
// (or code that happens to look like two lengths) is never taken for one.
#pragma once
#include <stdint.h>

#include <string>

struct PeLayout {
    uint16_t machine;   // 0x014C i386, 0x8664 x86-64
    uint16_t subsystem; // 2 Windows GUI, 3 console; 0 when the optional header is too short to say
    uint64_t imageEnd;  // first file offset after the headers and every section's raw data
};

// False with a reason when bytes are not a PE executable whose headers and
// section table lie inside the file.
bool ReadPeLayout(const std::string& bytes, PeLayout& layout, std::string& reason);
