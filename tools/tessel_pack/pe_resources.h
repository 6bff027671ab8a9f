// The stub's resources as a publisher dresses a patcher: its version
// information (rewritten in the room the stub reserves for it, nothing else
// moves) and its icon (the resource section rebuilt, the base relocations
// after it moved along).
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "tools/tessel_pack/pe_layout.h"

// One leaf of the resource tree: type, name and language, each an ID or
// (for type and name) a string.
struct ResourceItem {
    uint32_t typeId = 0;
    std::u16string typeName;  // used when not empty
    uint32_t nameId = 0;
    std::u16string name;      // used when not empty
    uint32_t language = 0;
    uint32_t codePage = 0;
    uint64_t entry = 0;       // file offset of its IMAGE_RESOURCE_DATA_ENTRY
    uint32_t rva = 0, size = 0;
    std::string data;
};

const uint32_t kResourceIcon = 3, kResourceGroupIcon = 14, kResourceVersion = 16;

// Every leaf of image's resource tree, in the tree's order. False with a
// reason when the tree leaves its section or loops.
bool ReadResources(const std::string& image, const PeLayout& layout, std::vector<ResourceItem>& items,
                   std::string& reason);

// The file description of every Tessel program (res/tessel.rc), the
// default of a patcher's.
extern const char kTesselFileDescription[];

struct VersionStrings {
    std::string productName;   // UTF-8: the window title
    std::string company;       // --publisher; empty: left out
    std::string version;       // --version; file and product version
    std::string description;   // the file description
};

// The strings of image's VS_VERSIONINFO (its first string table), as a
// reader such as Explorer finds them. False when it has none or it is
// damaged.
bool ReadVersionStrings(const std::string& image, const PeLayout& layout, VersionStrings& strings);

// The sizes of the images of the "MAINICON" group ("16, 32, 48"), or "".
std::string MainIconSizes(const std::string& image, const PeLayout& layout);

// A VS_VERSIONINFO for the strings, in language 2052, UTF-16 (as the
// program's other resources): the numbers of the fixed part come from the
// version's leading numbers ("1.2-beta" gives 1.2.0.0).
std::string ComposeVersionInfo(const VersionStrings& strings);

// Rewrites the stub's RT_VERSION resource in place: the new one may take
// the resource's room, up to the next resource's data or the section's
// end, and its size is set. One that needs more room has the resource
// section rebuilt around it (*rebuilt, as ReplaceMainIcon does). False with
// a reason when the stub has no version resource or cannot be rebuilt.
bool WriteVersionInfo(std::string& image, PeLayout& layout, const std::string& versionInfo, bool* rebuilt,
                      std::string& reason);

// The images of an .ico file (PNG-compressed entries included, as Windows
// Vista and later read them), checked against the file. False with a reason
// for anything else (a bare .png gets a hint to convert it).
struct IconImage {
    uint8_t width, height;  // 0 means 256
    uint16_t planes, bitCount;
    std::string data;       // the image as RT_ICON holds it (BMP without file header, or PNG)
};
bool ReadIconFile(const std::string& bytes, std::vector<IconImage>& images, std::string& reason);

// The resource section laid out anew from items (each followed by zeros up
// to its room): see ReplaceMainIcon.
bool RebuildResourceSection(std::string& image, PeLayout& layout, const std::vector<ResourceItem>& items,
                            const std::vector<uint32_t>& rooms, std::string& reason);

// Replaces the "MAINICON" icon group and its images with images (language
// 2052, like the program's own), rebuilding the resource section. Sections
// after it may only be base relocations, which move up when it grows. False
// with a reason when the stub cannot take a new resource section.
bool ReplaceMainIcon(std::string& image, PeLayout& layout, const std::vector<IconImage>& images,
                     std::string& reason);
