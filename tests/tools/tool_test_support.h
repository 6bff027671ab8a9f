// Shared helpers of the tessel-pack tests: a scratch directory per test,
// whole-file reads and writes, the tool run in-process with its output
// captured, and builders for the inputs (a minimal PE stub, IPS patches, a
// container laid out by hand).
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "tools/tessel_pack/console.h"

namespace tooltest {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const;  // Path() + separator + name
    // Names of the entries in the directory, sorted.
    std::vector<std::string> Entries() const;

private:
    std::string path_;
};

bool WriteFile(const std::string& path, const std::string& bytes);
// The file's bytes; "<missing>" would be ambiguous, so callers use Exists.
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);

struct ToolRun {
    int exitCode;
    std::string out;
    std::string err;
};

// RunTesselPack with stdin fed from `input` and stdout/stderr captured
// through files in a scratch directory of its own. errIsTerminal chooses
// whether the progress bar is drawn.
ToolRun RunTool(const std::vector<std::string>& args, const std::string& input = std::string(),
                bool errIsTerminal = false);

// A small but well-formed PE image: MZ header, PE header (machine i386, GUI
// subsystem), one section of sectionBytes at file offset 0x200, then
// `overlay` appended. The section's bytes are the stub marker of version
// "test" (kStubMarker, so the tool takes it for a Tessel program) and a
// pattern ending in `sectionTail`.
extern const std::string kStubMarker;
std::string MakeStub(uint32_t sectionBytes = 0x400, const std::string& sectionTail = std::string(),
                     const std::string& overlay = std::string());

// What build writes for a stub made by MakeStub and a payload: zeros in
// front of the payload up to an 8-byte boundary at the end, and the PE
// checksum set.
std::string Patcher(const std::string& stub, const std::string& payload);

// An .ico of one 32 x 32 image, 32 bits a pixel, all of colour 0xRRGGBB.
std::string MakeIcon(uint32_t rgb);

// tool + stub + the trailer of an embedded stub (scripts/embed-stub.sh).
std::string EmbedStub(const std::string& tool, const std::string& stub);

// IPS records for building patches in tables.
struct Record {
    uint32_t offset;
    std::string data;       // data record when not empty
    uint16_t runLength;     // run record (data empty)
    uint8_t runValue;
};
Record DataRecord(uint32_t offset, const std::string& data);
Record RunRecord(uint32_t offset, uint16_t length, uint8_t value);

// "PATCH" + records (+ "EOF" when withEof) (+ 3-byte size when truncate).
std::string MakePatch(const std::vector<Record>& records, bool withEof = false,
                      int64_t truncateSize = -1);

// description + L2 + patch + L1.
std::string Container(const std::string& description, const std::string& patch);

// Reference application of a well-formed patch to an image: data and run
// records in order, growth with zero fill, the "EOF" rules (end marker when
// 0 or 3 bytes follow; the 3 bytes are a truncation size). Written from the
// file format, independently of the core.
std::string ApplyReference(const std::string& patch, std::string image);

// A field "name  value" of the inspect report (value with its leading
// blanks removed); "" when absent.
std::string ReportField(const std::string& report, const std::string& name);
// The text between the description's two marker lines.
std::string ReportDescription(const std::string& report);

}  // namespace tooltest
