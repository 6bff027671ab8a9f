// A patch made from two files (create, build --original/--modified): the
// checks on the pair, the format, and the patch itself, applied in memory
// to the original and compared with the modified file before anyone sees it.
#pragma once
#include <stdint.h>

#include <string>

#include "patch/patch_format.h"
#include "tools/tessel_pack/bps_create.h"
#include "tools/tessel_pack/console.h"

// The two formats tessel-pack makes (patch/patch_format.h).

// "ips" or "bps", either case.
bool ParseFormat(const std::string& text, PatchFormat& format);
// From a file name ending in .ips or .bps, either case.
bool FormatFromExtension(const std::string& path, PatchFormat& format);
const char* FormatName(PatchFormat format);  // "IPS", "BPS"

// Files larger than this make build choose BPS (IPS offsets are 3 bytes).
const uint64_t kIpsFileLimit = 0x1000000;

// Length of the header some ROM copiers put in front of a file.
const size_t kCopierHeaderSize = 512;

// How the original given relates to the modified file when it is no
// original at all: the same file, or the same with or without a 512-byte
// copier header. Empty when it is none of these; otherwise the words after
// "<original>: ", beginning "this is the patched file".
std::string WhyOriginalIsPatched(const std::string& original, const std::string& modified);

// The patch in the format asked for, checked: false with a reason when the
// format cannot express the change, memory runs out, or the patch would not
// give the modified file (never expected: a fault of the creator).
bool MakeCheckedPatch(PatchFormat format, const std::string& original, const std::string& modified,
                      std::string& patch, std::string& reason, CreateProgress progress = nullptr,
                      void* context = nullptr);

// build's choice: IPS when both files are below 16 MiB and IPS can express
// the change, BPS otherwise.
PatchFormat ChooseFormat(const std::string& original, const std::string& modified);

// The patch applied in memory to original: false when it is malformed or
// memory runs out. IPS through the program's own patch run.
bool ApplyInMemory(PatchFormat format, const std::string& patch, const std::string& original, std::string& result);

// "finding copies:  42%" redrawn on standard error while a BPS patch is
// made, for a person watching a terminal; nothing otherwise.
class ProgressLine {
public:
    ProgressLine(const Console& console, const char* what) : console_(console), what_(what) {}
    static void Report(void* self, uint64_t done, uint64_t total);
    void Finish();  // ends the line once something was drawn

private:
    const Console& console_;
    const char* what_;
    int shown_ = -1;
};
