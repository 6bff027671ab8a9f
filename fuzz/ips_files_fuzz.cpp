// Fuzzes whole patch runs on real files (in /dev/shm where there is one),
// with a backup asked for on every other input, and on two inputs in three
// one call into the file system failing: the open, a seek, read or write,
// the resize, a flush, the close, the backup's copy or its rename (the
// input chooses which and the how-manieth). Whatever fails:
//  - a run that reports success left exactly the reference's bytes;
//  - any other result left the target byte-identical (unless the run says
//    it may be damaged, which a single failure never causes);
//  - the .bak is either the older backup, untouched, or a complete copy of
//    the target as it was; no temporary copy is left behind.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "ips_reference.h"
#include "patch/byte_stream.h"
#include "patch/patch_run.h"
#include "platform/file_faults.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string g_dir;
FileOperation g_failing;
uint32_t g_failAt = 0;

void Check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "ips_files_fuzz: %s\n", what);
        abort();
    }
}

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return Bytes{'<', 'n', 'o', 'n', 'e', '>'};
    Bytes bytes(size_t(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    return bytes;
}

void WriteAll(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    Check(out.good(), "cannot write a file");
}

bool FailScheduled(FileOperation operation) {
    return operation == g_failing && g_failAt != 0 && --g_failAt == 0;
}

struct Hooks : PatchRunHooks {
    bool backup = false;
    bool WantsBackup() override { return backup; }
    void Progress(uint32_t) override {}
    void Finished(const PatchRunReport&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char shm[] = "/dev/shm/tessel-files-fuzz-XXXXXX";
    char tmp[] = "/tmp/tessel-files-fuzz-XXXXXX";
    const char* dir = mkdtemp(shm);
    if (!dir) dir = mkdtemp(tmp);
    Check(dir != nullptr, "cannot make a temporary directory");
    g_dir = dir;
    atexit([] {
        for (const char* name : {"/target.bin", "/target.bin.bak", "/target.bin.bak.partial"})
            unlink((g_dir + name).c_str());
        rmdir(g_dir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1u << 20) return 0;
    const Bytes block(data, data + size);
    std::vector<ipsref::Record> records;
    int64_t resize;
    const bool valid = ipsref::Parse(block, &records, &resize);
    Bytes original(16 + size % 48);
    for (size_t i = 0; i < original.size(); ++i) original[i] = uint8_t(i * 29 + size);
    if (valid && ipsref::FinalSize(records, resize, original.size()) > (64u << 10)) return 0;
    Bytes expected = original;
    if (valid) ipsref::Apply(block, &expected);

    const std::string target = g_dir + "/target.bin", backup = target + ".bak";
    const Bytes olderBackup = {'o', 'l', 'd'};
    WriteAll(target, original);
    WriteAll(backup, olderBackup);
    Hooks hooks;
    hooks.backup = size % 2 == 0;
    g_failAt = 0;
    if (size % 3 != 0 && size >= 2) {
        g_failing = static_cast<FileOperation>(data[size - 1] % 9);
        g_failAt = 1 + data[size - 2] % 4u;
    }
    ByteStream* patch = CreateMemoryStream();
    if (size) StreamWrite(patch, data, uint32_t(size));
    SetFileFaultHook(FailScheduled);
    PatchRunReport report;
    const PatchResult result = ApplyPatch(patch, ByteString(target.c_str()), &hooks, &report);
    SetFileFaultHook(nullptr);
    Release(patch);

    Check(result != PatchResultRestoreFailed, "a single failure left the target damaged");
    Check(ReadAll(target) == (result == PatchResultDone ? expected : original),
          result == PatchResultDone ? "target differs from the reference" : "a failed run changed the target");
    const Bytes bak = ReadAll(backup);
    Check(bak == olderBackup || (hooks.backup && bak == original), "the backup is neither old nor whole");
    Check(report.backupMade == (hooks.backup && bak == original), "the report says otherwise of the backup");
    Check(access((backup + ".partial").c_str(), F_OK) != 0, "a temporary copy was left behind");
    return 0;
}
