#include "tools/tessel_pack/embedded_stub.h"

#include "tools/tessel_pack/file_io.h"
#include "tools/tessel_pack/pe_layout.h"
#include "tools/tessel_pack/sha256.h"
#include "tools/tessel_pack/tessel_program.h"

#ifdef _WIN32
#include <windows.h>

#include "tools/tessel_pack/utf8.h"
#else
#include <limits.h>
#include <unistd.h>
#endif

const char kEmbeddedStubTag[9] = "TSLSTUB1";

static std::string g_toolFile;

void SetToolFile(const std::string& path) { g_toolFile = path; }
const std::string& ToolFile() { return g_toolFile; }

std::string RunningExecutablePath() {
#ifdef _WIN32
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(NULL, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return "";
    return Utf16ToUtf8(std::u16string(path.begin(), path.begin() + length));
#else
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof path) return "";
    return std::string(path, static_cast<size_t>(length));
#endif
}

static uint32_t LittleEndian32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
}

EmbeddedStub ReadEmbeddedStub() {
    EmbeddedStub stub;
    if (g_toolFile.empty()) return stub;
    std::string tool, reason;
    if (!ReadWholeFile(g_toolFile, tool, reason)) {
        stub.state = EmbeddedStub::Damaged;
        stub.problem = "its own file " + g_toolFile + " cannot be read (" + reason + ")";
        return stub;
    }
    const size_t trailer = 4 + 8;
    if (tool.size() < trailer || tool.compare(tool.size() - 8, 8, kEmbeddedStubTag) != 0) return stub;
    stub.state = EmbeddedStub::Damaged;
    const uint32_t size = LittleEndian32(tool, tool.size() - trailer);
    if (size > tool.size() - trailer) {
        stub.problem = "its embedded stub is cut short";
        return stub;
    }
    stub.bytes = tool.substr(tool.size() - trailer - size, size);
    PeLayout layout;
    if (!ReadPeLayout(stub.bytes, layout, reason) ||
        !RecogniseTesselProgram(stub.bytes, layout, stub.version, reason)) {
        stub.problem = "its embedded stub is damaged: " + reason;
        stub.bytes.clear();
        return stub;
    }
    stub.state = EmbeddedStub::Present;
    return stub;
}

std::string DescribeEmbeddedStub(const EmbeddedStub& stub) {
    switch (stub.state) {
    case EmbeddedStub::Absent:
        return "none (this tessel-pack was built without one: build needs --stub)";
    case EmbeddedStub::Damaged: return "unusable: " + stub.problem;
    case EmbeddedStub::Present: break;
    }
    PeLayout layout;
    std::string reason;
    ReadPeLayout(stub.bytes, layout, reason);
    const char* machine = layout.machine == 0x014C ? "32-bit" : layout.machine == 0x8664 ? "64-bit" : "other";
    return "Tessel " + stub.version + " stub for " + machine + " Windows, " + std::to_string(stub.bytes.size()) +
           " bytes, SHA-256 " + Sha256Hex(stub.bytes);
}
