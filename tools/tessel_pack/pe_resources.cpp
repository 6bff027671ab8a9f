#include "tools/tessel_pack/pe_resources.h"

#include <algorithm>

#include "tools/tessel_pack/utf8.h"

const char kTesselFileDescription[] = "Tessel self-applying patcher";

namespace {

uint32_t Le16(const std::string& b, uint64_t at) {
    return static_cast<uint8_t>(b[at]) | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8;
}

void Put16(std::string& out, uint32_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}

void Put32(std::string& out, uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

void PadTo4(std::string& out) { out.resize((out.size() + 3) & ~size_t(3), '\0'); }

uint32_t AlignUp(uint64_t value, uint32_t alignment) {
    return static_cast<uint32_t>(alignment ? (value + alignment - 1) / alignment * alignment : value);
}

// The section whose mapped bytes hold [rva, rva + size), and the file offset
// of rva in it.
const PeSection* SectionFor(const PeLayout& layout, uint32_t rva, uint32_t size, uint64_t* offset) {
    for (const PeSection& s : layout.sections) {
        const uint32_t mapped = std::min(s.virtualSize ? s.virtualSize : s.rawSize, s.rawSize);
        if (rva >= s.virtualAddress && uint64_t(rva) + size <= uint64_t(s.virtualAddress) + mapped) {
            *offset = s.rawPointer + uint64_t(rva - s.virtualAddress);
            return &s;
        }
    }
    return nullptr;
}

// --- reading the tree ----------------------------------------------------------

struct TreeReader {
    const std::string& image;
    uint64_t base;        // file offset of the root directory
    uint32_t baseRva;
    uint64_t limit;       // end of the section's mapped bytes in the file
    std::vector<ResourceItem>& items;
    std::vector<uint32_t> structures;  // RVAs of every table, string and data entry read
    std::string reason;

    bool Fail(const std::string& why) {
        reason = "its resources are damaged (" + why + ")";
        return false;
    }

    bool Name(uint32_t field, uint32_t* id, std::u16string* name) {
        if (!(field & 0x80000000u)) {
            *id = field;
            return true;
        }
        const uint64_t at = base + (field & 0x7FFFFFFFu);
        if (at + 2 > limit) return Fail("a name outside the section");
        const uint32_t length = Le16(image, at);
        if (at + 2 + 2ull * length > limit) return Fail("a name outside the section");
        structures.push_back(baseRva + (field & 0x7FFFFFFFu));
        for (uint32_t i = 0; i < length; ++i) *name += static_cast<char16_t>(Le16(image, at + 2 + 2 * i));
        return true;
    }

    // One directory at level 0 (types), 1 (names) or 2 (languages).
    bool Directory(uint32_t offset, int level, ResourceItem item) {
        const uint64_t at = base + offset;
        if (level > 2 || at + 16 > limit) return Fail("a directory outside the section");
        structures.push_back(baseRva + offset);
        const uint32_t count = Le16(image, at + 12) + Le16(image, at + 14);
        if (at + 16 + 8ull * count > limit) return Fail("a directory outside the section");
        for (uint32_t i = 0; i < count; ++i) {
            const uint64_t entry = at + 16 + 8ull * i;
            const uint32_t nameField = ReadLe32(image, entry), target = ReadLe32(image, entry + 4);
            ResourceItem child = item;
            bool named = level == 0 ? Name(nameField, &child.typeId, &child.typeName)
                         : level == 1 ? Name(nameField, &child.nameId, &child.name)
                                      : (child.language = nameField, true);
            if (!named) return false;
            if (target & 0x80000000u) {
                if (!Directory(target & 0x7FFFFFFFu, level + 1, child)) return false;
            } else if (!Leaf(target, child)) {
                return false;
            }
        }
        return true;
    }

    bool Leaf(uint32_t offset, ResourceItem item) {
        item.entry = base + offset;
        if (item.entry + 16 > limit) return Fail("a data entry outside the section");
        structures.push_back(baseRva + offset);
        item.rva = ReadLe32(image, item.entry);
        item.size = ReadLe32(image, item.entry + 4);
        item.codePage = ReadLe32(image, item.entry + 8);
        const uint64_t room = limit - base;  // the section's mapped bytes from the root on
        if (item.rva < baseRva || item.size > room || item.rva - baseRva > room - item.size)
            return Fail("data outside the section");
        // Entries that share subdirectories could multiply without end.
        if (items.size() >= 10000) return Fail("more than 10000 resources");
        item.data = image.substr(base + (item.rva - baseRva), item.size);
        items.push_back(item);
        return true;
    }
};

struct ResourceSection {
    const PeSection* section = nullptr;
    uint64_t base = 0;  // file offset of the root directory
};

bool FindResourceSection(const std::string& image, const PeLayout& layout, ResourceSection& found,
                         std::string& reason) {
    const uint32_t rva = layout.resourceEntry ? ReadLe32(image, layout.resourceEntry) : 0;
    if (!rva || !(found.section = SectionFor(layout, rva, 16, &found.base))) {
        reason = "it has no resources";
        return false;
    }
    return true;
}

// How far each item's data may grow: up to the next data or table after it,
// or the end of the section's mapped bytes.
std::vector<uint32_t> Rooms(const std::vector<ResourceItem>& items, const std::vector<uint32_t>& structures,
                            const PeSection& section) {
    std::vector<uint32_t> starts = structures;
    for (const ResourceItem& item : items) starts.push_back(item.rva);
    const uint32_t end = section.virtualAddress + std::min(section.virtualSize, section.rawSize);
    std::vector<uint32_t> rooms;
    for (const ResourceItem& item : items) {
        uint32_t next = end;
        for (uint32_t start : starts)
            if (start > item.rva && start < next) next = start;
        rooms.push_back(std::max(next - item.rva, item.size));
    }
    return rooms;
}

bool ReadTree(const std::string& image, const PeLayout& layout, std::vector<ResourceItem>& items,
              std::vector<uint32_t>* rooms, std::string& reason) {
    ResourceSection found;
    if (!FindResourceSection(image, layout, found, reason)) return false;
    const PeSection& s = *found.section;
    TreeReader reader{image, found.base, s.virtualAddress + uint32_t(found.base - s.rawPointer),
                      s.rawPointer + uint64_t(std::min(s.virtualSize ? s.virtualSize : s.rawSize, s.rawSize)),
                      items, {}, ""};
    if (reader.base != s.rawPointer) {
        reason = "its resource directory does not begin its section";
        return false;
    }
    items.clear();
    if (!reader.Directory(0, 0, ResourceItem())) {
        reason = reader.reason;
        return false;
    }
    if (rooms) *rooms = Rooms(items, reader.structures, s);
    return true;
}

}  // namespace

bool ReadResources(const std::string& image, const PeLayout& layout, std::vector<ResourceItem>& items,
                   std::string& reason) {
    return ReadTree(image, layout, items, nullptr, reason);
}

// --- version information -------------------------------------------------------

namespace {

std::string Utf16Bytes(const std::string& utf8) {
    std::string out;
    for (char16_t unit : Utf8ToUtf16(utf8)) Put16(out, unit);
    Put16(out, 0);
    return out;
}

// A node of the version tree: wLength, wValueLength, wType, the key, the
// value, the children, each of the last three starting on a 4-byte boundary
// of the node (nodes start on one).
std::string VersionNode(const std::string& key, const std::string& value, uint32_t valueLength, uint32_t type,
                        const std::vector<std::string>& children) {
    std::string node(6, '\0');
    node += Utf16Bytes(key);
    PadTo4(node);
    node += value;
    for (const std::string& child : children) {
        PadTo4(node);
        node += child;
    }
    node[0] = static_cast<char>(node.size() & 0xFF);
    node[1] = static_cast<char>(node.size() >> 8);
    node[2] = static_cast<char>(valueLength & 0xFF);
    node[3] = static_cast<char>(valueLength >> 8);
    node[4] = static_cast<char>(type);
    return node;
}

// Up to four leading dotted numbers of a version text, each at most 65535.
void VersionNumbers(const std::string& text, uint32_t numbers[4]) {
    size_t at = !text.empty() && (text[0] == 'v' || text[0] == 'V') ? 1 : 0;
    for (int i = 0; i < 4; ++i) {
        numbers[i] = 0;
        if (at >= text.size() || text[at] < '0' || text[at] > '9') {
            for (++i; i < 4; ++i) numbers[i] = 0;
            return;
        }
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            numbers[i] = std::min<uint32_t>(numbers[i] * 10 + uint32_t(text[at] - '0'), 65535);
            ++at;
        }
        if (at < text.size() && text[at] == '.') ++at;
        else {
            for (++i; i < 4; ++i) numbers[i] = 0;
            return;
        }
    }
}

}  // namespace

std::string ComposeVersionInfo(const VersionStrings& strings) {
    uint32_t n[4];
    VersionNumbers(strings.version, n);
    std::string fixed;
    Put32(fixed, 0xFEEF04BD);                 // signature
    Put32(fixed, 0x00010000);                 // structure version 1.0
    for (int twice = 0; twice < 2; ++twice) { // file, then product version
        Put32(fixed, n[0] << 16 | n[1]);
        Put32(fixed, n[2] << 16 | n[3]);
    }
    Put32(fixed, 0x3F);                       // FILEFLAGSMASK
    Put32(fixed, 0);                          // FILEFLAGS
    Put32(fixed, 0x00040004);                 // VOS_NT_WINDOWS32
    Put32(fixed, 1);                          // VFT_APP
    Put32(fixed, 0);                          // FILESUBTYPE
    Put32(fixed, 0);                          // file date
    Put32(fixed, 0);
    const struct {
        const char* key;
        const std::string& value;
    } pairs[] = {{"CompanyName", strings.company},       {"FileDescription", strings.description},
                 {"FileVersion", strings.version},       {"ProductName", strings.productName},
                 {"ProductVersion", strings.version}};
    std::vector<std::string> table;
    for (const auto& pair : pairs) {
        if (pair.value.empty()) continue;
        const std::string value = Utf16Bytes(pair.value);
        table.push_back(VersionNode(pair.key, value, uint32_t(value.size() / 2), 1, {}));
    }
    std::string translation;
    Put16(translation, 0x0804);  // Chinese (PRC), as the program's other resources
    Put16(translation, 1200);    // UTF-16
    const std::string stringInfo = VersionNode("StringFileInfo", "", 0, 1, {VersionNode("080404b0", "", 0, 1, table)});
    const std::string varInfo =
        VersionNode("VarFileInfo", "", 0, 1, {VersionNode("Translation", translation, 4, 0, {})});
    return VersionNode("VS_VERSION_INFO", fixed, uint32_t(fixed.size()), 0, {stringInfo, varInfo});
}

namespace {

// One node of a version tree at [at, end): its key, where its value and
// its children begin, and where it ends.
struct VersionNodeView {
    std::string key;
    uint64_t value = 0, valueLength = 0, children = 0, end = 0;
    bool ok = false;
};

VersionNodeView ReadVersionNode(const std::string& data, uint64_t at, uint64_t end) {
    VersionNodeView node;
    if (at + 6 > end) return node;
    const uint64_t length = Le16(data, at);
    if (length < 6 || at + length > end) return node;
    node.end = at + length;
    std::u16string key;
    uint64_t p = at + 6;
    for (; p + 2 <= node.end && Le16(data, p) != 0; p += 2) key += static_cast<char16_t>(Le16(data, p));
    node.key = Utf16ToUtf8(key);
    node.value = (p + 2 + 3) & ~uint64_t(3);
    // wValueLength counts characters for text values (wType 1), bytes otherwise.
    node.valueLength = Le16(data, at + 2) * (Le16(data, at + 4) == 1 ? 2 : 1);
    node.children = (node.value + node.valueLength + 3) & ~uint64_t(3);
    node.ok = node.value <= node.end;
    return node;
}

}  // namespace

bool ReadVersionStrings(const std::string& image, const PeLayout& layout, VersionStrings& strings) {
    std::vector<ResourceItem> items;
    std::string reason;
    if (!ReadTree(image, layout, items, nullptr, reason)) return false;
    for (const ResourceItem& item : items) {
        if (item.typeId != kResourceVersion || !item.typeName.empty()) continue;
        const std::string& d = item.data;
        const VersionNodeView root = ReadVersionNode(d, 0, d.size());
        if (!root.ok || root.key != "VS_VERSION_INFO") return false;
        for (uint64_t at = root.children; at < root.end;) {
            const VersionNodeView info = ReadVersionNode(d, at, root.end);
            if (!info.ok) return false;
            const VersionNodeView table = ReadVersionNode(d, info.children, info.end);
            if (info.key == "StringFileInfo" && table.ok) {
                for (uint64_t s = table.children; s < table.end;) {
                    const VersionNodeView pair = ReadVersionNode(d, s, table.end);
                    if (!pair.ok) return false;
                    std::u16string value;
                    for (uint64_t p = pair.value; p + 2 <= pair.end && Le16(d, p) != 0; p += 2)
                        value += static_cast<char16_t>(Le16(d, p));
                    if (pair.key == "ProductName") strings.productName = Utf16ToUtf8(value);
                    if (pair.key == "CompanyName") strings.company = Utf16ToUtf8(value);
                    if (pair.key == "FileVersion") strings.version = Utf16ToUtf8(value);
                    if (pair.key == "FileDescription") strings.description = Utf16ToUtf8(value);
                    s = (pair.end + 3) & ~uint64_t(3);
                }
                return true;
            }
            at = (info.end + 3) & ~uint64_t(3);
        }
    }
    return false;
}

std::string MainIconSizes(const std::string& image, const PeLayout& layout) {
    std::vector<ResourceItem> items;
    std::string reason, sizes;
    if (!ReadTree(image, layout, items, nullptr, reason)) return "";
    for (const ResourceItem& item : items) {
        if (item.typeId != kResourceGroupIcon || !item.typeName.empty() || item.name != u"MAINICON") continue;
        for (uint64_t at = 6; at + 14 <= item.data.size(); at += 14) {
            const uint32_t width = static_cast<uint8_t>(item.data[at]);
            sizes += (sizes.empty() ? "" : ", ") + std::to_string(width ? width : 256);
        }
    }
    return sizes;
}

bool WriteVersionInfo(std::string& image, PeLayout& layout, const std::string& versionInfo, bool* rebuilt,
                      std::string& reason) {
    std::vector<ResourceItem> items;
    std::vector<uint32_t> rooms;
    if (!ReadTree(image, layout, items, &rooms, reason)) return false;
    for (size_t i = 0; i < items.size(); ++i) {
        ResourceItem& item = items[i];
        if (item.typeId != kResourceVersion || !item.typeName.empty()) continue;
        *rebuilt = versionInfo.size() > rooms[i];
        if (*rebuilt) {
            item.data = versionInfo;
            rooms[i] = uint32_t(versionInfo.size());
            return RebuildResourceSection(image, layout, items, rooms, reason);
        }
        uint64_t offset = 0;
        SectionFor(layout, item.rva, rooms[i], &offset);
        image.replace(offset, rooms[i], versionInfo + std::string(rooms[i] - versionInfo.size(), '\0'));
        WriteLe32(image, item.entry + 4, uint32_t(versionInfo.size()));
        return true;
    }
    reason = "it has no version information to fill";
    return false;
}

// --- the icon ------------------------------------------------------------------

bool ReadIconFile(const std::string& bytes, std::vector<IconImage>& images, std::string& reason) {
    images.clear();
    // A bare PNG would be one 256-pixel PNG image, which only Windows Vista
    // and later scale down for the title bar (XP and wine show none), and
    // making the small sizes means decoding it: an .ico says what to show.
    if (bytes.compare(0, 8, "\x89PNG\r\n\x1A\n", 8) == 0) {
        reason = "a PNG image: give an .ico with 16, 32 and 48-pixel images (for example: convert "
                 "logo.png -define icon:auto-resize=48,32,16 logo.ico)";
        return false;
    }
    // ICONDIR: reserved 0, type 1, count; then 16-byte entries.
    if (bytes.size() < 6 || Le16(bytes, 0) != 0 || Le16(bytes, 2) != 1 || Le16(bytes, 4) == 0) {
        reason = "not an icon file (.ico)";
        return false;
    }
    const uint32_t count = Le16(bytes, 4);
    if (6 + 16ull * count > bytes.size()) {
        reason = "a damaged icon file (its directory is cut short)";
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t entry = 6 + 16ull * i;
        const uint32_t size = ReadLe32(bytes, entry + 8), offset = ReadLe32(bytes, entry + 12);
        if (size < 40 || offset > bytes.size() || size > bytes.size() - offset) {
            reason = "a damaged icon file (image " + std::to_string(i + 1) + " lies outside it)";
            return false;
        }
        IconImage image = {static_cast<uint8_t>(bytes[entry]), static_cast<uint8_t>(bytes[entry + 1]),
                           uint16_t(Le16(bytes, entry + 4)), uint16_t(Le16(bytes, entry + 6)),
                           bytes.substr(offset, size)};
        // Some tools leave planes and bit count 0; Windows picks an image by
        // them, so they are taken from the image itself (PNG: 32 bits).
        if (image.bitCount == 0) {
            const bool bitmap = ReadLe32(image.data, 0) == 40;
            image.bitCount = static_cast<uint16_t>(bitmap ? Le16(image.data, 14) : 32);
            image.planes = 1;
        }
        images.push_back(image);
    }
    return true;
}

namespace {

// The tree laid out again: directories (types, then each type's names, then
// each name's languages), the name strings, the data entries, then the
// data, each item's padded to its room so that reserved room survives.
struct TreeWriter {
    TreeWriter(const std::vector<ResourceItem>& items, const std::vector<uint32_t>& rooms, uint32_t baseRva)
        : items(items), rooms(rooms), baseRva(baseRva) {}

    const std::vector<ResourceItem>& items;  // sorted as the tree must be
    const std::vector<uint32_t>& rooms;
    uint32_t baseRva;
    std::string tables, strings, entries, data;
    std::vector<std::pair<size_t, size_t>> stringFixups;  // (offset in tables, offset in strings)
    std::vector<std::pair<size_t, size_t>> entryFixups;   // (offset in tables, offset in entries)
    std::vector<std::pair<size_t, size_t>> dataFixups;    // (offset in entries, offset in data)

    static bool SameType(const ResourceItem& a, const ResourceItem& b) {
        return a.typeName == b.typeName && (!a.typeName.empty() || a.typeId == b.typeId);
    }
    static bool SameName(const ResourceItem& a, const ResourceItem& b) {
        return SameType(a, b) && a.name == b.name && (!a.name.empty() || a.nameId == b.nameId);
    }

    // Items [first, last) share the key of this level; children split them further.
    void Directory(size_t first, size_t last, int level) {
        std::vector<std::pair<size_t, size_t>> groups;
        for (size_t i = first; i < last;) {
            size_t j = i + 1;
            while (j < last && (level == 0   ? SameType(items[i], items[j])
                                : level == 1 ? SameName(items[i], items[j])
                                             : false))
                ++j;
            groups.push_back({i, j});
            i = j;
        }
        uint32_t named = 0;  // sorted first
        for (const auto& g : groups)
            if ((level == 0 && !items[g.first].typeName.empty()) || (level == 1 && !items[g.first].name.empty())) ++named;
        const size_t at = tables.size();
        tables.append(12, '\0');
        Put16(tables, named);
        Put16(tables, uint32_t(groups.size()) - named);
        tables.append(8 * groups.size(), '\0');
        for (size_t k = 0; k < groups.size(); ++k) {
            const ResourceItem& item = items[groups[k].first];
            const size_t entry = at + 16 + 8 * k;
            const std::u16string& name = level == 0 ? item.typeName : level == 1 ? item.name : std::u16string();
            if (!name.empty()) {
                stringFixups.push_back({entry, strings.size()});
                Put16(strings, uint32_t(name.size()));
                for (char16_t c : name) Put16(strings, c);
            } else {
                WriteLe32(tables, entry, level == 0 ? item.typeId : level == 1 ? item.nameId : item.language);
            }
            if (level == 2) {
                entryFixups.push_back({entry + 4, entries.size()});
                const size_t index = groups[k].first;
                data.resize(AlignUp(data.size(), 8), '\0');
                dataFixups.push_back({entries.size(), data.size()});
                Put32(entries, 0);
                Put32(entries, uint32_t(items[index].data.size()));
                Put32(entries, items[index].codePage);
                Put32(entries, 0);
                data += items[index].data;
                data.append(rooms[index] - items[index].data.size(), '\0');
            } else {
                WriteLe32(tables, entry + 4, 0x80000000u | uint32_t(tables.size()));
                Directory(groups[k].first, groups[k].second, level + 1);
            }
        }
    }

    std::string Section() {
        Directory(0, items.size(), 0);
        strings.resize(AlignUp(strings.size(), 8), '\0');
        const size_t stringsAt = tables.size(), entriesAt = stringsAt + strings.size();
        const size_t dataAt = AlignUp(entriesAt + entries.size(), 8);
        for (const auto& f : stringFixups) WriteLe32(tables, f.first, 0x80000000u | uint32_t(stringsAt + f.second));
        for (const auto& f : entryFixups) WriteLe32(tables, f.first, uint32_t(entriesAt + f.second));
        for (const auto& f : dataFixups) WriteLe32(entries, f.first, baseRva + uint32_t(dataAt + f.second));
        std::string out = tables + strings + entries;
        out.resize(dataAt, '\0');
        return out + data;
    }
};

// Windows finds resources by binary search: at every level named entries
// come first, ordered by their names, then IDs in ascending order.
int CompareKey(const std::u16string& aName, uint32_t aId, const std::u16string& bName, uint32_t bId) {
    if (aName.empty() != bName.empty()) return aName.empty() ? 1 : -1;
    if (!aName.empty()) return aName < bName ? -1 : aName > bName ? 1 : 0;
    return aId < bId ? -1 : aId > bId ? 1 : 0;
}

bool TreeOrder(const ResourceItem& a, const ResourceItem& b) {
    if (int c = CompareKey(a.typeName, a.typeId, b.typeName, b.typeId)) return c < 0;
    if (int c = CompareKey(a.name, a.nameId, b.name, b.nameId)) return c < 0;
    return a.language < b.language;
}

const std::u16string kMainIcon = u"MAINICON";

// The items with the MAINICON group and its images replaced.
bool SwapIcon(std::vector<ResourceItem>& items, std::vector<uint32_t>& rooms, const std::vector<IconImage>& images,
              std::string& reason) {
    std::vector<uint32_t> oldIds;
    for (const ResourceItem& item : items)
        if (item.typeId == kResourceGroupIcon && item.typeName.empty() && item.name == kMainIcon)
            for (uint64_t at = 6; at + 14 <= item.data.size(); at += 14) oldIds.push_back(Le16(item.data, at + 12));
    std::vector<ResourceItem> kept;
    std::vector<uint32_t> keptRooms;
    uint32_t nextId = 1;
    for (size_t i = 0; i < items.size(); ++i) {
        const ResourceItem& item = items[i];
        const bool icon = item.typeName.empty() && item.name.empty() && item.typeId == kResourceIcon;
        if ((item.typeId == kResourceGroupIcon && item.typeName.empty() && item.name == kMainIcon) ||
            (icon && std::find(oldIds.begin(), oldIds.end(), item.nameId) != oldIds.end()))
            continue;
        if (icon) nextId = std::max(nextId, item.nameId + 1);
        kept.push_back(item);
        keptRooms.push_back(rooms[i]);
    }
    if (nextId + images.size() > 0xFFFF) {
        reason = "too many icons";
        return false;
    }
    ResourceItem group;
    group.typeId = kResourceGroupIcon;
    group.name = kMainIcon;
    group.language = 2052;
    Put16(group.data, 0);
    Put16(group.data, 1);
    Put16(group.data, uint32_t(images.size()));
    for (size_t i = 0; i < images.size(); ++i) {
        const IconImage& image = images[i];
        ResourceItem icon;
        icon.typeId = kResourceIcon;
        icon.nameId = nextId + uint32_t(i);
        icon.language = 2052;
        icon.data = image.data;
        kept.push_back(icon);
        keptRooms.push_back(uint32_t(icon.data.size()));
        // GRPICONDIRENTRY: width, height, colours, reserved, planes, bit count, size, ID.
        group.data += static_cast<char>(image.width);
        group.data += static_cast<char>(image.height);
        group.data += static_cast<char>(image.bitCount < 8 ? 1u << image.bitCount : 0);
        group.data += '\0';
        Put16(group.data, image.planes);
        Put16(group.data, image.bitCount);
        Put32(group.data, uint32_t(image.data.size()));
        Put16(group.data, icon.nameId);
    }
    kept.push_back(group);
    keptRooms.push_back(uint32_t(group.data.size()));
    std::vector<size_t> order(kept.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return TreeOrder(kept[a], kept[b]); });
    items.clear();
    rooms.clear();
    for (size_t i : order) {
        items.push_back(kept[i]);
        rooms.push_back(keptRooms[i]);
    }
    return true;
}

}  // namespace

bool ReplaceMainIcon(std::string& image, PeLayout& layout, const std::vector<IconImage>& images,
                     std::string& reason) {
    std::vector<ResourceItem> items;
    std::vector<uint32_t> rooms;
    return ReadTree(image, layout, items, &rooms, reason) && SwapIcon(items, rooms, images, reason) &&
           RebuildResourceSection(image, layout, items, rooms, reason);
}

// The section laid out again where it is. When it grows, the base
// relocations after it move up (whole sections), and the data directories,
// the section table and SizeOfImage follow.
bool RebuildResourceSection(std::string& image, PeLayout& layout, const std::vector<ResourceItem>& items,
                            const std::vector<uint32_t>& rooms, std::string& reason) {
    ResourceSection found;
    FindResourceSection(image, layout, found, reason);
    const PeSection rsrc = *found.section;
    // Only base relocations may follow: they hold RVAs of other sections,
    // not of themselves, so they move as they are.
    std::vector<PeSection> after;
    for (const PeSection& s : layout.sections) {
        if (s.virtualAddress <= rsrc.virtualAddress) continue;
        if (s.name != ".reloc" || s.rawPointer < rsrc.rawPointer) {
            reason = "its resource section is not its last one (only .reloc may follow), so it cannot grow";
            return false;
        }
        after.push_back(s);
    }
    const std::string section = TreeWriter(items, rooms, rsrc.virtualAddress).Section();
    std::string rebuilt = image.substr(0, rsrc.rawPointer) + section;
    rebuilt.resize(AlignUp(rebuilt.size(), layout.fileAlignment), '\0');
    WriteLe32(rebuilt, rsrc.header + 8, uint32_t(section.size()));
    WriteLe32(rebuilt, rsrc.header + 16, uint32_t(rebuilt.size() - rsrc.rawPointer));
    WriteLe32(rebuilt, layout.resourceEntry + 4, uint32_t(section.size()));
    uint32_t nextRva = AlignUp(uint64_t(rsrc.virtualAddress) + section.size(), layout.sectionAlignment);
    for (const PeSection& s : after) {
        const uint32_t shift = nextRva - s.virtualAddress;
        if (layout.relocationEntry && ReadLe32(image, layout.relocationEntry) >= s.virtualAddress &&
            ReadLe32(image, layout.relocationEntry) < s.virtualAddress + s.virtualSize)
            WriteLe32(rebuilt, layout.relocationEntry, ReadLe32(image, layout.relocationEntry) + shift);
        WriteLe32(rebuilt, s.header + 12, nextRva);
        WriteLe32(rebuilt, s.header + 20, uint32_t(rebuilt.size()));
        rebuilt += image.substr(s.rawPointer, s.rawSize);
        rebuilt.resize(AlignUp(rebuilt.size(), layout.fileAlignment), '\0');
        nextRva = AlignUp(uint64_t(nextRva) + s.virtualSize, layout.sectionAlignment);
    }
    WriteLe32(rebuilt, layout.sizeOfImageField, nextRva);
    image.swap(rebuilt);
    return ReadPeLayout(image, layout, reason);
}
