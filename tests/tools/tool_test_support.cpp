#include "tool_test_support.h"

#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "tools/tessel_pack/commands.h"

namespace fs = std::filesystem;

namespace tooltest {

ScratchDir::ScratchDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    for (;;) {
        const fs::path candidate =
            base / ("tessel-pack-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
        std::error_code error;
        if (fs::create_directory(candidate, error)) {
            path_ = candidate.string();
            return;
        }
    }
}

ScratchDir::~ScratchDir() {
    std::error_code error;
    fs::remove_all(path_, error);
}

std::string ScratchDir::File(const std::string& name) const {
    return (fs::path(path_) / name).string();
}

std::vector<std::string> ScratchDir::Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
    std::error_code error;
    return fs::exists(path, error);
}

ToolRun RunTool(const std::vector<std::string>& args, const std::string& input, bool errIsTerminal) {
    ScratchDir captures;
    WriteFile(captures.File("stdin"), input);
    Console console;
    console.in = fopen(captures.File("stdin").c_str(), "rb");
    console.out = fopen(captures.File("stdout").c_str(), "w+b");
    console.err = fopen(captures.File("stderr").c_str(), "w+b");
    console.errIsTerminal = errIsTerminal;
    ToolRun run;
    run.exitCode = RunTesselPack(args, console);
    fclose(console.in);
    fclose(console.out);
    fclose(console.err);
    run.out = ReadFile(captures.File("stdout"));
    run.err = ReadFile(captures.File("stderr"));
    return run;
}

static void Put16(std::string& b, size_t at, uint32_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

static void Put32(std::string& b, size_t at, uint32_t v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

const std::string kStubMarker("TESSEL-STUB/test\0", 17);

std::string MakeStub(uint32_t sectionBytes, const std::string& sectionTail, const std::string& overlay) {
    std::string image(0x200 + sectionBytes, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    Put32(image, 0x3C, 0x40);
    image.replace(0x40, 4, std::string("PE\0\0", 4));
    Put16(image, 0x44, 0x014C);  // machine: i386
    Put16(image, 0x46, 1);       // one section
    Put16(image, 0x54, 0xE0);    // size of the optional header
    Put16(image, 0x58, 0x10B);   // PE32
    Put16(image, 0x58 + 68, 2);  // subsystem: Windows GUI
    Put32(image, 0x58 + 92, 16); // data directories
    const size_t section = 0x40 + 24 + 0xE0;
    image.replace(section, 5, ".text");
    Put32(image, section + 8, sectionBytes);   // virtual size
    Put32(image, section + 16, sectionBytes);  // size of raw data
    Put32(image, section + 20, 0x200);         // pointer to raw data
    for (uint32_t i = 0; i < sectionBytes; ++i) image[0x200 + i] = static_cast<char>(0x90 + i % 7);
    image.replace(0x200, kStubMarker.size(), kStubMarker);
    if (!sectionTail.empty() && sectionTail.size() <= sectionBytes)
        image.replace(image.size() - sectionTail.size(), sectionTail.size(), sectionTail);
    return image + overlay;
}

std::string Patcher(const std::string& stub, const std::string& payload) {
    std::string file = stub + std::string((8 - (stub.size() + payload.size()) % 8) % 8, '\0') + payload;
    const size_t field = 0x58 + 64;
    Put32(file, field, 0);
    uint32_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        sum += static_cast<uint8_t>(file[i]) + (i + 1 < file.size() ? static_cast<uint8_t>(file[i + 1]) << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    Put32(file, field, sum + static_cast<uint32_t>(file.size()));
    return file;
}

std::string MakeIcon(uint32_t rgb) {
    std::string image(40, '\0');  // BITMAPINFOHEADER: the height counts the AND mask's rows too
    Put32(image, 0, 40);
    Put32(image, 4, 32);
    Put32(image, 8, 64);
    Put16(image, 12, 1);
    Put16(image, 14, 32);
    for (int i = 0; i < 32 * 32; ++i) {
        image += static_cast<char>(rgb & 0xFF);
        image += static_cast<char>((rgb >> 8) & 0xFF);
        image += static_cast<char>((rgb >> 16) & 0xFF);
        image += '\xFF';
    }
    image.append(32 * 4, '\0');  // AND mask: every pixel drawn
    std::string file(22, '\0');
    Put16(file, 2, 1);
    Put16(file, 4, 1);
    file[6] = 32;
    file[7] = 32;
    Put16(file, 10, 1);
    Put16(file, 12, 32);
    Put32(file, 14, static_cast<uint32_t>(image.size()));
    Put32(file, 18, 22);
    return file + image;
}

Record DataRecord(uint32_t offset, const std::string& data) { return Record{offset, data, 0, 0}; }
Record RunRecord(uint32_t offset, uint16_t length, uint8_t value) { return Record{offset, "", length, value}; }

static void PutBig(std::string& out, uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string MakePatch(const std::vector<Record>& records, bool withEof, int64_t truncateSize) {
    std::string out = "PATCH";
    for (const Record& r : records) {
        PutBig(out, r.offset, 3);
        if (!r.data.empty()) {
            PutBig(out, static_cast<uint32_t>(r.data.size()), 2);
            out += r.data;
        } else {
            PutBig(out, 0, 2);
            PutBig(out, r.runLength, 2);
            out += static_cast<char>(r.runValue);
        }
    }
    if (withEof) {
        out += "EOF";
        if (truncateSize >= 0) PutBig(out, static_cast<uint32_t>(truncateSize), 3);
    }
    return out;
}

std::string EmbedStub(const std::string& tool, const std::string& stub) {
    std::string size(4, '\0');
    Put32(size, 0, static_cast<uint32_t>(stub.size()));
    return tool + stub + size + "TSLSTUB1";
}

std::string Container(const std::string& description, const std::string& patch) {
    std::string out = description;
    std::string length(4, '\0');
    Put32(length, 0, static_cast<uint32_t>(description.size() + 4));
    out += length;
    out += patch;
    Put32(length, 0, static_cast<uint32_t>(patch.size() + 4));
    out += length;
    return out;
}

static uint32_t Big(const std::string& b, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
    return v;
}

std::string ApplyReference(const std::string& patch, std::string image) {
    size_t at = 5;
    while (at < patch.size()) {
        const size_t left = patch.size() - at;
        if ((left == 3 || left == 6) && patch.compare(at, 3, "EOF") == 0) {
            if (left == 6) image.resize(Big(patch, at + 3, 3), '\0');
            break;
        }
        const uint32_t offset = Big(patch, at, 3);
        const uint32_t size = Big(patch, at + 3, 2);
        at += 5;
        std::string bytes;
        if (size != 0) {
            bytes = patch.substr(at, size);
            at += size;
        } else {
            bytes.assign(Big(patch, at, 2), patch[at + 2]);
            at += 3;
        }
        if (bytes.empty()) continue;
        if (image.size() < offset + bytes.size()) image.resize(offset + bytes.size(), '\0');
        image.replace(offset, bytes.size(), bytes);
    }
    return image;
}

std::string ReportField(const std::string& report, const std::string& name) {
    size_t at = 0;
    while (at < report.size()) {
        const size_t end = report.find('\n', at);
        const std::string line = report.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (line.compare(0, name.size(), name) == 0 && line.size() > name.size() &&
            line[name.size()] == ' ') {
            const size_t value = line.find_first_not_of(' ', name.size());
            return value == std::string::npos ? "" : line.substr(value);
        }
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return "";
}

std::string ReportDescription(const std::string& report) {
    const std::string open = "--- description (";
    const std::string close = "\n--- end of description ---\n";
    const size_t start = report.find(open);
    if (start == std::string::npos) return "<no description section>";
    const size_t textStart = report.find('\n', start) + 1;
    const size_t end = report.rfind(close);
    if (end == std::string::npos || end < textStart) return "<no description end>";
    return report.substr(textStart, end - textStart);
}

}  // namespace tooltest
