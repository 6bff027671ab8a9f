#include "tools/tessel_pack/pair_patch.h"

#include <stdio.h>

#include "patch/bps_patch.h"
#include "patch/byte_stream.h"
#include "patch/patch_run.h"
#include "tools/tessel_pack/ips_create.h"

static std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

bool ParseFormat(const std::string& text, PatchFormat& format) {
    const std::string name = Lower(text);
    if (name != "ips" && name != "bps") return false;
    format = name == "ips" ? PatchFormatIps : PatchFormatBps;
    return true;
}

bool FormatFromExtension(const std::string& path, PatchFormat& format) {
    return path.size() > 4 && path[path.size() - 4] == '.' && ParseFormat(path.substr(path.size() - 3), format);
}

const char* FormatName(PatchFormat format) { return format == PatchFormatIps ? "IPS" : "BPS"; }

std::string WhyOriginalIsPatched(const std::string& original, const std::string& modified) {
    if (original == modified) return "this is the patched file: it is identical to the modified file";
    if (original.size() == modified.size() + kCopierHeaderSize &&
        original.compare(kCopierHeaderSize, std::string::npos, modified) == 0)
        return "this is the patched file with a 512-byte copier header in front of it";
    if (modified.size() == original.size() + kCopierHeaderSize &&
        modified.compare(kCopierHeaderSize, std::string::npos, original) == 0)
        return "this is the patched file without its 512-byte copier header";
    return std::string();
}

static bool ApplyIps(const std::string& patch, const std::string& original, std::string& result) {
    if (patch.size() > 0xFFFFFFF0u || original.size() > 0xFFFFFFF0u) return false;
    ByteStream* block = CreateMemoryStream();
    ByteStream* target = CreateMemoryStream();
    const bool applied = block && target &&
                         StreamWrite(block, patch.data(), uint32_t(patch.size())) == patch.size() &&
                         (original.empty() ||
                          StreamWrite(target, original.data(), uint32_t(original.size())) == original.size()) &&
                         ApplyPatchToStream(block, target, nullptr, nullptr) == PatchResultDone;
    if (applied) result.assign(reinterpret_cast<const char*>(target->block), StreamGetSize(target));
    Release(block);
    Release(target);
    return applied;
}

// The core's BPS applier, which checks the whole block, the original's size
// and CRC-32 and the result's.
static bool ApplyBps(const std::string& patch, const std::string& original, std::string& result) {
    if (patch.size() > 0xFFFFFFF0u || original.size() > 0xFFFFFFF0u) return false;
    const uint8_t* block = reinterpret_cast<const uint8_t*>(patch.data());
    BpsScan scan;
    if (!ReadBpsHeader(block, uint32_t(patch.size()), &scan)) return false;
    result.assign(scan.header.targetSize, '\0');
    return BpsApplyInMemory(block, uint32_t(patch.size()), reinterpret_cast<const uint8_t*>(original.data()),
                            uint32_t(original.size()), reinterpret_cast<uint8_t*>(&result[0]),
                            scan.header.targetSize, nullptr);
}

bool ApplyInMemory(PatchFormat format, const std::string& patch, const std::string& original, std::string& result) {
    if (format == PatchFormatIps) return ApplyIps(patch, original, result);
    return ApplyBps(patch, original, result);
}

static const uint8_t* Bytes(const std::string& text) { return reinterpret_cast<const uint8_t*>(text.data()); }

bool MakeCheckedPatch(PatchFormat format, const std::string& original, const std::string& modified,
                      std::string& patch, std::string& reason, CreateProgress progress, void* context) {
    const bool made = format == PatchFormatIps
                          ? CreateIpsPatch(Bytes(original), original.size(), Bytes(modified), modified.size(), patch,
                                           reason)
                          : CreateBpsPatch(Bytes(original), original.size(), Bytes(modified), modified.size(), patch,
                                           reason, progress, context);
    if (!made) return false;
    std::string result;
    if (!ApplyInMemory(format, patch, original, result) || result != modified) {
        reason = std::string("the new ") + FormatName(format) +
                 " patch does not turn the original into the modified file (a fault of tessel-pack; nothing "
                 "written)";
        return false;
    }
    return true;
}

PatchFormat ChooseFormat(const std::string& original, const std::string& modified) {
    if (original.size() > kIpsFileLimit || modified.size() > kIpsFileLimit) return PatchFormatBps;
    std::string patch, reason;
    return CreateIpsPatch(Bytes(original), original.size(), Bytes(modified), modified.size(), patch, reason)
               ? PatchFormatIps
               : PatchFormatBps;
}

void ProgressLine::Report(void* self, uint64_t done, uint64_t total) {
    ProgressLine& line = *static_cast<ProgressLine*>(self);
    if (!line.console_.errIsTerminal) return;
    const int percent = total ? int(done * 100 / total) : 100;
    if (percent == line.shown_) return;
    line.shown_ = percent;
    char text[64];
    snprintf(text, sizeof text, "\r%s: %3d%%", line.what_, percent);
    PrintToError(line.console_, text);
}

void ProgressLine::Finish() {
    if (shown_ >= 0) PrintToError(console_, "\n");
    shown_ = -1;
}
