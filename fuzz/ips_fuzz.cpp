// Fuzzes the patch scanner and the patch run with arbitrary blocks against a
// small real target file. For every block:
//  - the memory scan, the stream scan and the plain reference reading agree
//    on whether the block is acceptable;
//  - a refused block leaves the target byte-identical and reports
//    "malformed"; an accepted one gives exactly the reference's bytes;
//  - with a backup asked for, the .bak holds the target's old bytes.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "patch/byte_stream.h"
#include "patch/ips_patch.h"
#include "patch/patch_run.h"
#include "ips_reference.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string g_dir;

void Check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "ips_fuzz: %s\n", what);
        abort();
    }
}

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return Bytes();
    Bytes bytes(size_t(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    Check(size_t(in.gcount()) == bytes.size(), "short read of a file");
    return bytes;
}

void WriteAll(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    Check(out.good(), "cannot write the target");
}

bool SameScan(const PatchScan& a, const PatchScan& b) {
    return a.valid == b.valid && a.problem == b.problem && a.problemRecord == b.problemRecord &&
           a.problemRecordOffset == b.problemRecordOffset && a.problemFieldOffset == b.problemFieldOffset &&
           a.endMarker == b.endMarker && a.endMarkerOffset == b.endMarkerOffset &&
           a.truncateSize == b.truncateSize && a.recordsEnd == b.recordsEnd && a.recordCount == b.recordCount &&
           a.dataRecords == b.dataRecords && a.runRecords == b.runRecords && a.dataBytes == b.dataBytes &&
           a.runBytes == b.runBytes && a.lowestOffset == b.lowestOffset && a.highestEnd == b.highestEnd &&
           a.markerLikeRecord == b.markerLikeRecord && a.recordsAfterMarkerLike == b.recordsAfterMarkerLike;
}

// Asks for a backup when told to and keeps the finished report.
struct FuzzHooks : PatchRunHooks {
    bool backup = false;
    int finished = 0;
    bool WantsBackup() override { return backup; }
    void Progress(uint32_t) override {}
    void Finished(const PatchRunReport&) override { ++finished; }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A memory-backed file system when there is one: every input writes files.
    char shm[] = "/dev/shm/tessel-ips-fuzz-XXXXXX";
    char tmp[] = "/tmp/tessel-ips-fuzz-XXXXXX";
    const char* dir = mkdtemp(shm);
    if (!dir) dir = mkdtemp(tmp);
    Check(dir != nullptr, "cannot make a temporary directory");
    g_dir = dir;
    atexit([] {
        unlink((g_dir + "/target.bin").c_str());
        unlink((g_dir + "/target.bin.bak").c_str());
        rmdir(g_dir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1u << 20) return 0;
    const Bytes block(data, data + size);

    PatchScan memoryScan, streamScan;
    const bool valid = ScanPatch(data, uint32_t(size), &memoryScan);
    ByteStream* patch = CreateMemoryStream();
    if (size) Check(StreamWrite(patch, data, uint32_t(size)) == size, "memory stream refused the block");
    Check(ScanPatchStream(patch, &streamScan) == valid, "stream scan disagrees on validity");
    Check(SameScan(memoryScan, streamScan), "stream scan disagrees on details");
    Check(StreamGetSize(patch) == size, "scanning changed the stream size");

    // A small target whose contents and length vary with the input.
    Bytes original(16 + size % 48);
    for (size_t i = 0; i < original.size(); ++i) original[i] = uint8_t(i * 29 + size);
    std::vector<ipsref::Record> records;
    int64_t resize;
    const bool referenceValid = ipsref::Parse(block, &records, &resize);
    Check(referenceValid == valid, "scanner and reference disagree on validity");
    // Most random offsets land megabytes out. Building and comparing a dense
    // copy of such a target costs far more than the run itself, so beyond
    // 1 MiB only the size is compared (the bytes of such records are the
    // same seek-and-write path as near ones).
    const size_t finalSize = valid ? ipsref::FinalSize(records, resize, original.size()) : original.size();
    const bool compareBytes = finalSize <= (1u << 20);
    Bytes expected = original;
    if (valid && compareBytes) Check(ipsref::Apply(block, &expected), "reference refused what it parsed");

    const std::string target = g_dir + "/target.bin";
    const std::string backup = target + ".bak";
    WriteAll(target, original);
    unlink(backup.c_str());
    const bool wantBackup = size % 5 == 0;

    FuzzHooks hooks;
    hooks.backup = wantBackup;
    PatchRunReport report;
    PatchResult result = ApplyPatch(patch, ByteString(target.c_str()), &hooks, &report);
    Check(hooks.finished == 1 && report.result == result, "the run did not report exactly once");
    Release(patch);

    if (valid) {
        Check(result == PatchResultDone, "valid block not applied");
        if (compareBytes) {
            Check(ReadAll(target) == expected, "target differs from the reference");
        } else {
            struct stat info;
            Check(stat(target.c_str(), &info) == 0 && size_t(info.st_size) == finalSize,
                  "target size differs from the reference");
        }
        Check(report.recordsApplied == memoryScan.recordCount, "not every record applied");
    } else {
        Check(result == PatchResultMalformed, "refused block not reported as malformed");
        Check(ReadAll(target) == original, "refused block changed the target");
    }
    if (wantBackup) Check(ReadAll(backup) == original, "backup does not hold the old bytes");
    return 0;
}
