// Fuzzes the BPS decoder and the BPS file route. An input is a source
// length (2 bytes, little-endian), that many source bytes, then the patch.
// Unless the input's first byte is odd, the patch's three CRC-32s are made
// right first (the source's, the result's as the plain reference reading
// makes it, the patch's own), so the fuzzer reaches the action checks
// instead of stopping at a checksum. For every input:
//  - ScanBpsPatch and the reference in tests/patch/bps_reference.h agree on
//    whether the block is acceptable;
//  - BpsApplyInMemory accepts exactly what the reference applies and gives
//    its bytes;
//  - on one input in four, the file route on a real file gives the same
//    result, or leaves the target as it was, with nothing left beside it.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "bps_reference.h"
#include "patch/bps_patch.h"
#include "patch/patch_run.h"

namespace {

std::string g_dir;

void Check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "bps_fuzz: %s\n", what);
        abort();
    }
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The CRC-32s of a block made right for this source; the result's from the
// reference reading when it can make one.
std::string Fixed(const std::string& patch, const std::string& source) {
    if (patch.size() < 12) return patch;
    const std::string body = patch.substr(0, patch.size() - 12);
    auto finish = [&](uint32_t targetCrc) {
        std::string out = body;
        bpsref::PutWord(out, bpsref::Crc32(source));
        bpsref::PutWord(out, targetCrc);
        bpsref::PutWord(out, bpsref::Crc32(out));
        return out;
    };
    std::string result;
    const bpsref::Result r = bpsref::Decode(finish(0), source, &result);
    return r == bpsref::Ok || r == bpsref::TargetMismatch ? finish(bpsref::Crc32(result)) : finish(0);
}

// Nothing in the folder but the target.
bool OnlyTheTarget() {
    DIR* dir = opendir(g_dir.c_str());
    if (!dir) return false;
    int others = 0;
    while (const struct dirent* entry = readdir(dir))
        if (strcmp(entry->d_name, ".") && strcmp(entry->d_name, "..") && strcmp(entry->d_name, "target.bin")) ++others;
    closedir(dir);
    return others == 0;
}

void CheckFileRoute(const std::string& patch, const std::string& source, bool applies, const std::string& expected) {
    const std::string target = g_dir + "/target.bin";
    {
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out << source;
        Check(out.good(), "cannot write the target");
    }
    PatchRunReport report;
    const PatchResult result =
        ApplyPatchBlock(Bytes(patch), uint32_t(patch.size()), ByteString(target.c_str()), nullptr, &report);
    // A file that already has the result's size and CRC-32 is left alone,
    // whatever its source would have been.
    const BpsHeader& h = report.bps.scan.header;
    if (result == PatchResultAlreadyPatched)
        Check(source.size() == h.targetSize && bpsref::Crc32(source) == h.targetCrc, "taken for patched");
    else
        Check((result == PatchResultDone) == applies, "the file route and the reference disagree");
    Check(ReadAll(target) == (result == PatchResultDone ? expected : source),
          result == PatchResultDone ? "the file differs from the reference" : "a refused run changed the file");
    Check(OnlyTheTarget(), "something was left beside the target");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char shm[] = "/dev/shm/tessel-bps-fuzz-XXXXXX";
    char tmp[] = "/tmp/tessel-bps-fuzz-XXXXXX";
    const char* dir = mkdtemp(shm);
    if (!dir) dir = mkdtemp(tmp);
    Check(dir != nullptr, "cannot make a temporary directory");
    g_dir = dir;
    atexit([] {
        unlink((g_dir + "/target.bin").c_str());
        rmdir(g_dir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 1u << 20) return 0;
    const size_t sourceSize = (data[0] | data[1] << 8) % (size - 1);
    const std::string source(reinterpret_cast<const char*>(data) + 2, sourceSize);
    std::string patch(reinterpret_cast<const char*>(data) + 2 + sourceSize, size - 2 - sourceSize);
    if (data[0] % 2 == 0) patch = Fixed(patch, source);

    BpsScan scan;
    const bool scanned = ScanBpsPatch(Bytes(patch), uint32_t(patch.size()), &scan);
    std::string expected;
    const bpsref::Result r = bpsref::Decode(patch, source, &expected);
    const bool structural = r == bpsref::Ok || r == bpsref::TargetMismatch || r == bpsref::SourceMismatch;
    // The reference checks the source before the actions: a block it
    // refused for its source is judged by the scan alone.
    if (r != bpsref::SourceMismatch) Check(scanned == structural, "the scan and the reference disagree");
    if (!scanned || scan.header.targetSize > (1u << 20)) return 0;

    std::string out(scan.header.targetSize, '\0');
    BpsProblem problem;
    const bool applied = BpsApplyInMemory(Bytes(patch), uint32_t(patch.size()), Bytes(source), uint32_t(source.size()),
                                          reinterpret_cast<uint8_t*>(&out[0]), uint32_t(out.size()), &problem);
    Check(applied == (r == bpsref::Ok), "the in-memory apply and the reference disagree");
    if (applied) Check(out == expected, "the in-memory result differs from the reference");
    if (data[1] % 4 == 0) CheckFileRoute(patch, source, r == bpsref::Ok, expected);
    return 0;
}
