// Patch-run throughput: applies generated patches of five shapes to real
// files, interleaved in one process, with
//   - the product's run (ApplyPatch: undo journal beside the target, the
//     changes written in place, flushed, the journal deleted; or, where
//     most of the file changes, the target copied to a new file, the
//     changes written into it, flushed, and the copy put in its place),
//   - the same run without its file journal (ApplyPatchToStream on the
//     open file: the journal kept in memory, and no target check, open or
//     close), which gives the journal's cost ("jrnl+": with the check and
//     the open),
//   - an in-memory reference (read the whole target, copy the records, one
//     write, flushed),
//   - the floor: read the touched 4 KiB pages, lay the records over them,
//     write them back in place, flush; and the crash-safe floor, the
//     cheaper of two ways that survive a kill: in place, adding the old
//     bytes of the touched pages in a journal file, created exclusively,
//     flushed with its folder before the first write and deleted at the
//     end; or a new file (the reference's work: read it all, write the
//     result, flush) renamed over the target, the folder flushed.
// Every way starts after a sync (POSIX), so none pays for the write-back of
// the one before it.
// Every result is compared byte for byte with the reference's. Prints the
// best times, the journal's cost (median of the pairs' differences), the
// run over the crash-safe floor as the median of the ratios of runs
// measured back to back, the route the run took (j: in place with its
// journal, n: a new file put in place), and the run's peak heap beyond the
// patch (native builds; the patch itself is held before the run starts).
//
// A BPS row follows: a patch of many actions of every kind on a 64 MiB file,
// applied by the product's BPS route (a new file built beside the target and
// put in its place) against writing the same result to a new file and
// flushing it, with the run's peak memory (POSIX: the run is made once more
// in a child process, whose peak resident size less the size it started
// with is the run's own).
//
// Usage: ips_bench [--dir DIRECTORY] [--repeat N] [--shape 1-6]
// Temporary files go to DIRECTORY (default: the system temp directory) and
// are removed at the end.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "../tests/patch/bps_reference.h"
#include "patch/byte_stream.h"
#include "platform/file_handle.h"
#include "patch/bps_patch.h"
#include "patch/ips_patch.h"
#include "patch/patch_run.h"

#include "platform/file_replace.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;


// --- the run's heap ---------------------------------------------------------
// glibc: malloc and its kin are replaced here, counting the bytes held, so
// a run's peak is its own heap and not the process's resident size (which
// the reference's whole-file buffers raise). Elsewhere nothing is counted.
#if defined(__GLIBC__)
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void __libc_free(void*);
namespace {
long long g_heapNow = 0, g_heapPeak = 0;
void Held(void* p, long long sign) {
    if (!p) return;
    g_heapNow += sign * static_cast<long long>(malloc_usable_size(p));
    if (g_heapNow > g_heapPeak) g_heapPeak = g_heapNow;
}
}  // namespace
extern "C" void* malloc(size_t n) {
    void* p = __libc_malloc(n);
    Held(p, 1);
    return p;
}
extern "C" void* calloc(size_t n, size_t size) {
    void* p = __libc_calloc(n, size);
    Held(p, 1);
    return p;
}
extern "C" void* realloc(void* old, size_t n) {
    const long long before = old ? static_cast<long long>(malloc_usable_size(old)) : 0;
    void* p = __libc_realloc(old, n);
    if (p || n == 0) g_heapNow -= before;
    Held(p, 1);
    return p;
}
extern "C" void free(void* p) {
    Held(p, -1);
    __libc_free(p);
}
const bool kHeapCounted = true;
#else
namespace {
long long g_heapNow = 0, g_heapPeak = 0;
}
const bool kHeapCounted = false;
#endif

namespace {

struct Shape {
    std::string name;
    uint32_t targetSize;
    Bytes patch;
};

void PutOffset(Bytes* b, uint32_t v) {
    b->push_back(uint8_t(v >> 16));
    b->push_back(uint8_t(v >> 8));
    b->push_back(uint8_t(v));
}
void PutU16(Bytes* b, uint32_t v) {
    b->push_back(uint8_t(v >> 8));
    b->push_back(uint8_t(v));
}
Bytes Header() { return Bytes{'P', 'A', 'T', 'C', 'H'}; }

void PutData(Bytes* b, uint32_t offset, uint32_t size, std::mt19937* rng) {
    if (offset == 0x454F46) ++offset;  // keep clear of the marker's look
    PutOffset(b, offset);
    PutU16(b, size);
    for (uint32_t k = 0; k < size; ++k) b->push_back(uint8_t((*rng)()));
}

// Records can only address the first 16 MiB (3-byte offsets); a 256 MiB
// target is the case where rewriting the whole file is most wasteful.
Shape SparseOnLargeTarget() {
    Shape s{"50 x 64 B, 256 MiB target", 256u << 20, Header()};
    std::mt19937 rng(1);
    for (uint32_t i = 0; i < 50; ++i) PutData(&s.patch, i * (16u << 20) / 50 + (rng() & 0xFFF), 64, &rng);
    return s;
}

Shape ManySmallRecords() {
    Shape s{"200,000 x 1-24 B, 16 MiB", 16u << 20, Header()};
    std::mt19937 rng(2);
    for (int i = 0; i < 200000; ++i) {
        uint32_t size = 1 + (rng() % 24);
        PutData(&s.patch, rng() % ((16u << 20) - size), size, &rng);
    }
    return s;
}

// A translation patch: text scattered through a 4 MiB file.
Shape TranslationPatch() {
    Shape s{"3,000 x 8-64 B, 4 MiB", 4u << 20, Header()};
    std::mt19937 rng(3);
    for (int i = 0; i < 3000; ++i) {
        uint32_t size = 8 + (rng() % 57);
        PutData(&s.patch, rng() % ((4u << 20) - size), size, &rng);
    }
    return s;
}

Shape LongRuns() {
    Shape s{"256 runs x 65,535, 16 MiB", 16u << 20, Header()};
    for (uint32_t i = 0; i < 256; ++i) {
        PutOffset(&s.patch, i * 65535u);
        PutU16(&s.patch, 0);
        PutU16(&s.patch, 65535);
        s.patch.push_back(uint8_t(i * 37 + 1));
    }
    return s;
}

Shape WholeRewrite() {
    Shape s{"16 MiB rewritten, 65,535 B", 16u << 20, Header()};
    std::mt19937 rng(5);
    for (uint32_t offset = 0; offset < (16u << 20); offset += 65535)
        PutData(&s.patch, offset, std::min<uint32_t>(65535, (16u << 20) - offset), &rng);
    return s;
}

// The in-memory reference: read the whole target, apply the records to the
// buffer, write the whole file once.
bool ReferenceApply(const Bytes& patch, const fs::path& source, const fs::path& destination) {
    std::error_code error;
    const uintmax_t size = fs::file_size(source, error);
    if (error) return false;
    Bytes file(size_t(size), 0);
    std::ifstream in(source, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(file.data()), std::streamsize(file.size()))) return false;
    size_t p = 5;
    while (p + 5 <= patch.size()) {
        size_t offset = (size_t(patch[p]) << 16) | (size_t(patch[p + 1]) << 8) | patch[p + 2];
        size_t size = (size_t(patch[p + 3]) << 8) | patch[p + 4];
        p += 5;
        if (size) {
            if (file.size() < offset + size) file.resize(offset + size);
            memcpy(file.data() + offset, patch.data() + p, size);
            p += size;
        } else {
            size_t count = (size_t(patch[p]) << 8) | patch[p + 1];
            if (file.size() < offset + count) file.resize(offset + count);
            memset(file.data() + offset, patch[p + 2], count);
            p += 3;
        }
    }
    // Handed to the disk before it counts as done, as the patch run's
    // result is: both sides pay for the same durability.
    const std::string name = destination.string();
    FileHandle out = OpenFileHandle(ByteString(name.c_str()), OpenModeReadWriteCreate);
    bool ok = WriteFileHandle(out, file.data(), uint32_t(file.size())) == file.size() &&
              FlushFileHandle(out);
    return CloseFileHandle(out) && ok;
}


// --- the floor ----------------------------------------------------------------

const uint32_t kPage = 4096;

struct Record {
    uint32_t offset, length;
    const uint8_t* data;  // null: a run of value
    uint8_t value;
};

std::vector<Record> RecordsOf(const Bytes& patch) {
    std::vector<Record> records;
    size_t p = 5;
    while (p + 5 <= patch.size()) {
        Record r;
        r.offset = (uint32_t(patch[p]) << 16) | (uint32_t(patch[p + 1]) << 8) | patch[p + 2];
        r.length = (uint32_t(patch[p + 3]) << 8) | patch[p + 4];
        p += 5;
        if (r.length) {
            r.data = patch.data() + p;
            r.value = 0;
            p += r.length;
        } else {
            r.length = (uint32_t(patch[p]) << 8) | patch[p + 1];
            r.data = nullptr;
            r.value = patch[p + 2];
            p += 3;
        }
        if (r.length) records.push_back(r);
    }
    return records;
}

struct PageRun {
    uint32_t start, stop;  // bytes, page-aligned (the last one cut at the file's end)
};

// The touched pages, joined where they follow each other.
std::vector<PageRun> TouchedPages(const std::vector<Record>& records, uint32_t fileSize) {
    std::vector<bool> touched((fileSize + kPage - 1) / kPage);
    for (const Record& r : records)
        for (uint32_t page = r.offset / kPage; page <= (r.offset + r.length - 1) / kPage; ++page) touched[page] = true;
    std::vector<PageRun> runs;
    for (uint32_t page = 0; page < touched.size(); ++page) {
        if (!touched[page]) continue;
        const uint32_t start = page * kPage;
        while (page + 1 < touched.size() && touched[page + 1]) ++page;
        runs.push_back(PageRun{start, std::min((page + 1) * kPage, fileSize)});
    }
    return runs;
}

bool ReadAt(FileHandle file, uint32_t position, uint8_t* bytes, uint32_t count) {
    return SeekFileHandleTo(file, position) && ReadFileHandle(file, bytes, count) == count;
}
bool WriteAt(FileHandle file, uint32_t position, const uint8_t* bytes, uint32_t count) {
    return SeekFileHandleTo(file, position) && WriteFileHandle(file, bytes, count) == count;
}

// Read the touched pages, lay the records over them, write them back in
// place, flush. With `journal`, the old pages go to that file first,
// flushed with its folder, and it is deleted at the end. Shapes that grow
// their target are not measured this way (none does).
bool FloorApply(const std::vector<Record>& records, const fs::path& target, const fs::path* journal) {
    const ByteString path(target.string().c_str());
    FileHandle file = OpenFileHandle(path, OpenModeReadWriteExisting);
    uint64_t size64 = 0;
    if (!IsValidFileHandle(file) || !GetFileSizeHandle64(file, &size64)) return false;
    const uint32_t size = uint32_t(size64);
    const std::vector<PageRun> runs = TouchedPages(records, size);
    size_t total = 0;
    for (const PageRun& run : runs) total += run.stop - run.start;
    Bytes image(total);
    std::vector<size_t> at(runs.size());
    bool ok = true;
    size_t used = 0;
    for (size_t i = 0; i < runs.size() && ok; ++i) {
        at[i] = used;
        ok = ReadAt(file, runs[i].start, image.data() + used, runs[i].stop - runs[i].start);
        used += runs[i].stop - runs[i].start;
    }
    FileHandle log = InvalidFileHandle();
    ByteString logPath;
    if (ok && journal) {
        logPath = ByteString(journal->string().c_str());
        log = OpenFileHandle(logPath, 0xC0000100u);  // GENERIC_READ | GENERIC_WRITE, CREATE_NEW
        ok = IsValidFileHandle(log) && WriteFileHandle(log, image.data(), uint32_t(total)) == total &&
             FlushFileHandle(log);
        FlushFolderBeside(logPath);
    }
    for (const Record& r : records) {
        if (!ok) break;
        // The run holding the record's first byte holds it all: its pages
        // are all touched, so they lie in one run.
        size_t i = size_t(std::upper_bound(runs.begin(), runs.end(), r.offset,
                                           [](uint32_t o, const PageRun& run) { return o < run.start; }) -
                          runs.begin()) - 1;
        uint8_t* to = image.data() + at[i] + (r.offset - runs[i].start);
        if (r.data)
            memcpy(to, r.data, r.length);
        else
            memset(to, r.value, r.length);
    }
    for (size_t i = 0; i < runs.size() && ok; ++i)
        ok = WriteAt(file, runs[i].start, image.data() + at[i], runs[i].stop - runs[i].start);
    ok = ok && FlushFileHandle(file);
    ok = CloseFileHandle(file) && ok;
    if (journal) {
        CloseFileHandle(log);
        ok = DeleteFileAtPath(logPath) && ok;
    }
    return ok;
}

bool MakeTarget(const fs::path& path, uint32_t size) {
    // Targets up to 64 MiB are written out, as a real file's blocks are
    // there; the 256 MiB one is only extended (sparse), so making it costs
    // no disk work.
    std::ofstream create(path, std::ios::binary | std::ios::trunc);
    if (size <= (64u << 20)) {
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 131 + (i >> 12));
        for (uint32_t done = 0; done < size && create; done += uint32_t(block.size()))
            create.write(block.data(), std::streamsize(std::min<uint32_t>(size - done, uint32_t(block.size()))));
        create.close();
        // A real target sits on the disk already: its blocks are synced
        // here, so the run's flush pays only for what the run changes.
        FileHandle synced = OpenFileHandle(ByteString(path.string().c_str()), OpenModeReadWriteExisting);
        const bool flushed = FlushFileHandle(synced);
        return CloseFileHandle(synced) && flushed && !create.fail();
    }
    create.close();
    std::error_code error;
    fs::resize_file(path, size, error);
    return !error;
}

bool SameFiles(const fs::path& a, const fs::path& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (fa && fb) {
        fa.read(ba.data(), std::streamsize(ba.size()));
        fb.read(bb.data(), std::streamsize(bb.size()));
        if (fa.gcount() != fb.gcount() || memcmp(ba.data(), bb.data(), size_t(fa.gcount())) != 0) return false;
    }
    return fa.eof() && fb.eof();
}

struct Sinks : PatchRunHooks {
    uint32_t progressCalls = 0;
    bool WantsBackup() override { return false; }
    void Progress(uint32_t) override { ++progressCalls; }
    void Finished(const PatchRunReport&) override {}
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A hack's shape of BPS patch on a 64 MiB file: runs kept in place, short
// new texts, pieces copied from elsewhere in the source and repeated from
// the result; *result is what it makes.
std::string BpsBenchPatch(const std::string& source, std::string* result) {
    std::mt19937 rng(6);
    bpsref::Maker maker(source.size(), source.size());
    std::string out;
    int64_t sourceAt = 0, targetAt = 0;
    while (out.size() < source.size()) {
        const uint32_t left = uint32_t(source.size() - out.size());
        if (left < 8192) {
            maker.SourceRead(left);
            out += source.substr(out.size());
            break;
        }
        maker.SourceRead(6000);
        out += source.substr(out.size(), 6000);
        std::string text(64, '\0');
        for (char& c : text) c = char(rng());
        maker.TargetRead(text);
        out += text;
        const int64_t from = rng() % (source.size() - 400);
        maker.Copy(2, 400, from - sourceAt);
        out += source.substr(size_t(from), 400);
        sourceAt = from + 400;
        const int64_t back = int64_t(out.size()) - 1 - rng() % 4000;
        maker.Copy(3, 100, back - targetAt);
        for (int i = 0; i < 100; ++i) out += out[size_t(back + i)];
        targetAt = back + 100;
    }
    *result = out;
    return maker.Finish(bpsref::Crc32(source), bpsref::Crc32(out));
}

bool WriteFileWhole(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    out.close();
    FileHandle synced = OpenFileHandle(ByteString(path.string().c_str()), OpenModeReadWriteExisting);
    const bool flushed = FlushFileHandle(synced);
    return CloseFileHandle(synced) && flushed && !out.fail();
}

// The comparison: the result written to a new file in 1 MiB pieces and
// flushed, the least any applier that writes a new file must do.
bool WriteAndFlush(const fs::path& path, const std::string& bytes) {
    FileHandle out = OpenFileHandle(ByteString(path.string().c_str()), OpenModeReadWriteCreate);
    bool ok = IsValidFileHandle(out);
    for (size_t done = 0; ok && done < bytes.size(); done += 1 << 20) {
        const uint32_t piece = uint32_t(std::min<size_t>(1 << 20, bytes.size() - done));
        ok = WriteFileHandle(out, bytes.data() + done, piece) == piece;
    }
    ok = ok && FlushFileHandle(out);
    return CloseFileHandle(out) && ok;
}

#ifndef _WIN32
// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"); -1 when absent.
long StatusKib(const char* field) {
    FILE* status = fopen("/proc/self/status", "r");
    if (!status) return -1;
    char line[256];
    long value = -1;
    const size_t length = strlen(field);
    while (fgets(line, sizeof line, status))
        if (strncmp(line, field, length) == 0 && line[length] == ':') value = atol(line + length + 1);
    fclose(status);
    return value;
}
#endif

// --bps-peak PATCH TARGET: a fresh process (started by the BPS row) that
// reads the patch, applies it to the target and prints how far its peak
// resident size rose above its size before the run, in KiB.
int BpsPeakChild(const char* patchPath, const char* targetPath) {
#ifdef _WIN32
    (void)patchPath;
    (void)targetPath;
    return 2;
#else
    std::ifstream in(patchPath, std::ios::binary);
    const std::string patch((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const long before = StatusKib("VmRSS");
    const PatchResult result = ApplyPatchBlock(reinterpret_cast<const uint8_t*>(patch.data()), uint32_t(patch.size()),
                                               ByteString(targetPath), nullptr, nullptr);
    const long high = StatusKib("VmHWM");
    if (result != PatchResultDone || before < 0 || high < 0) return 1;
    printf("%ld\n", high - before);
    return 0;
#endif
}

// The run's own peak memory in KiB, or -1 where it cannot be measured: the
// BPS run made again by this program started afresh (--bps-peak).
long BpsRunPeakKib(const std::string& patch, const fs::path& dir, const fs::path& target) {
#ifdef _WIN32
    (void)patch;
    (void)dir;
    (void)target;
    return -1;
#else
    const fs::path patchPath = dir / "bps-bench.bps";
    {
        std::ofstream out(patchPath, std::ios::binary);
        out << patch;
    }
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) return -1;
    const std::string command = "'" + self.string() + "' --bps-peak '" + patchPath.string() + "' '" + target.string() + "'";
    FILE* child = popen(command.c_str(), "r");
    long peak = -1;
    if (child && fscanf(child, "%ld", &peak) != 1) peak = -1;
    if (!child || pclose(child) != 0) peak = -1;
    fs::remove(patchPath, error);
    return peak;
#endif
}

// The BPS row; false when a result differs or a file cannot be made.
bool BpsRow(const fs::path& dir, int repeat) {
    std::string source(64u << 20, '\0');
    for (size_t i = 0; i < source.size(); ++i) source[i] = char(i * 131 + (i >> 12));
    std::string result;
    const std::string patch = BpsBenchPatch(source, &result);
    uint32_t actions = 0;
    BpsScan scan;
    if (!ScanBpsPatch(reinterpret_cast<const uint8_t*>(patch.data()), uint32_t(patch.size()), &scan)) return false;
    for (uint32_t count : scan.actionCount) actions += count;
    const fs::path target = dir / "bps-target.bin", written = dir / "bps-written.bin";
    double bestRun = 1e30, bestRef = 1e30;
    std::vector<double> ratios;
    for (int r = 0; r < repeat; ++r) {
        if (!WriteFileWhole(target, source)) return false;
        Clock::time_point t0 = Clock::now();
        const bool wrote = WriteAndFlush(written, result);
        const double refTime = Seconds(Clock::now() - t0);
        Clock::time_point t1 = Clock::now();
        const PatchResult outcome = ApplyPatchBlock(reinterpret_cast<const uint8_t*>(patch.data()),
                                                    uint32_t(patch.size()), ByteString(target.string().c_str()),
                                                    nullptr, nullptr);
        const double runTime = Seconds(Clock::now() - t1);
        if (!wrote || outcome != PatchResultDone || !SameFiles(target, written)) {
            fprintf(stderr, "ips_bench: BPS: run result %d, files differ or were not written\n", int(outcome));
            return false;
        }
        bestRun = std::min(bestRun, runTime);
        bestRef = std::min(bestRef, refTime);
        ratios.push_back(runTime / std::max(refTime, 1e-9));
    }
    std::sort(ratios.begin(), ratios.end());
    if (!WriteFileWhole(target, source)) return false;
    std::string().swap(source);
    const std::string keep = patch;
    std::string().swap(result);
    const long peak = BpsRunPeakKib(keep, dir, target);
    std::error_code error;
    fs::remove(target, error);
    fs::remove(written, error);
    const double mib = 64.0;
    printf("%-29s %8s %9s | %-27s | %-27s | %s\n", "", "actions", "MiB", "BPS run (a new file)",
           "result written + flushed", "run/ref");
    printf("%-29s %8u %9.1f | %8.1f %10.0f %7.1f | %8.1f %10s %7.1f | %6.3f %6.3f\n", "BPS 64 MiB, new file (acts)",
           actions, mib, bestRun * 1000, actions / bestRun, mib / bestRun, bestRef * 1000, "write+flush", mib / bestRef,
           bestRun / bestRef, ratios[ratios.size() / 2]);
    if (peak >= 0)
        printf("  BPS run: peak memory %ld KiB above its process's size before the run (patch %zu KiB, in it)\n",
               peak, keep.size() / 1024);
    else
        printf("  BPS run: peak memory not measured on this system (patch %zu KiB)\n", keep.size() / 1024);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    fs::path base = fs::temp_directory_path();
    int repeat = 9;
    int only = 0;
    if (argc == 4 && std::string(argv[1]) == "--bps-peak") return BpsPeakChild(argv[2], argv[3]);
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc) {
            base = argv[++i];
        } else if (a == "--shape" && i + 1 < argc) {
            only = atoi(argv[++i]);
        } else if (a == "--repeat" && i + 1 < argc) {
            repeat = std::max(1, atoi(argv[++i]));
        } else {
            fprintf(stderr, "usage: ips_bench [--dir DIRECTORY] [--repeat N] [--shape 1-6]\n");
            return a == "--help" ? 0 : 2;
        }
    }
    std::error_code error;
    fs::path dir = base / ("tessel-bench-" + std::to_string(Clock::now().time_since_epoch().count()));
    fs::create_directories(dir, error);
    if (error) {
        fprintf(stderr, "ips_bench: cannot create %s\n", dir.string().c_str());
        return 3;
    }

    printf("%-27s %7s %6s | %5s %8s %8s %8s | %8s | %8s %8s | %6s %6s | %8s %8s\n", "shape", "records", "MiB",
           "route", "run ms", "no jrnl", "jrnl+ ms", "ref ms", "floor ms", "safe ms", "/safe", "/ref", "heap MiB",
           "patch");
    printf("%-27s %7s %6s | %5s %8s %8s %8s | %8s | %8s %8s | %6s %6s | %8s %8s\n", "", "", "writes", "", "best",
           "best", "median", "best", "best", "in place", "median", "median", "peak", "MiB");

    int status = 0;
    Shape shapes[] = {SparseOnLargeTarget(), ManySmallRecords(), TranslationPatch(), LongRuns(), WholeRewrite()};
    for (Shape& shape : shapes) {
        if (only != 0 && &shape - shapes != only - 1) continue;
        PatchScan scan;
        if (!ScanPatch(shape.patch.data(), uint32_t(shape.patch.size()), &scan)) {
            fprintf(stderr, "ips_bench: generated patch for \"%s\" is malformed\n", shape.name.c_str());
            status = 1;
            continue;
        }
        ByteStream* patch = CreateMemoryStream();
        StreamWrite(patch, shape.patch.data(), uint32_t(shape.patch.size()));
        const std::vector<Record> records = RecordsOf(shape.patch);
        const double mib = double(scan.dataBytes + scan.runBytes) / (1024.0 * 1024.0);
        // The reference first: every other way is compared with its result.
        // On the large shape the two ways that write the whole file (the
        // reference and the new-file floor, 256 MiB each) are measured in
        // the first round only, and their times stand for every round.
        const bool large = shape.targetSize > (64u << 20);
        const int runs = repeat;
        enum { kReference, kRun, kNoJournal, kFloor, kSafeFloor, kNewFileFloor, kWays };
        double best[kWays];
        std::fill(best, best + kWays, 1e30);
        std::vector<double> journalCost, overSafe, overReference;
        long long peak = 0;
        bool same = true, newFile = false;
        const fs::path target = dir / "target.bin", reference = dir / "reference.bin", journal = dir / "floor.journal",
                       newFilePath = dir / "floor.new";
        const ByteString targetText(target.string().c_str());
        double took[kWays];
        for (int r = 0; r < runs && same; ++r) {
            for (int way = 0; way < kWays && same; ++way) {
                if (large && r > 0 && (way == kReference || way == kNewFileFloor)) continue;
                if (!MakeTarget(target, shape.targetSize)) {
                    fprintf(stderr, "ips_bench: cannot make %s\n", target.string().c_str());
                    status = 3;
                    same = false;
                    break;
                }
                bool ok = false;
#ifndef _WIN32
                sync();  // every way starts on a quiet disk: no write-back of the way before it
#endif
                const long long heapBefore = g_heapNow;
                g_heapPeak = g_heapNow;
                Clock::time_point t0 = Clock::now();
                if (way == kRun) {
                    Sinks sinks;
                    PatchRunReport report;
                    ok = ApplyPatch(patch, targetText, &sinks, &report) == PatchResultDone;
                    newFile = report.wroteNewFile;
                } else if (way == kNoJournal) {
                    ByteStream* file = OpenReadWriteFileStream(targetText);
                    ok = ApplyPatchToStream(patch, file, nullptr, nullptr) == PatchResultDone && CloseStream(file);
                    Release(file);
                } else if (way == kReference) {
                    ok = ReferenceApply(shape.patch, target, reference);
                } else if (way == kNewFileFloor) {
                    // The reference's work into a new file, which then takes
                    // the target's place, the folder flushed: what a run that
                    // never writes into its target must at least do.
                    const ByteString newText(newFilePath.string().c_str());
                    ok = ReferenceApply(shape.patch, target, newFilePath) && RenameFileReplacing(newText, targetText);
                    FlushFolderBeside(targetText);
                } else {
                    ok = FloorApply(records, target, way == kSafeFloor ? &journal : nullptr);
                }
                took[way] = Seconds(Clock::now() - t0);
                if (way == kRun) peak = std::max(peak, g_heapPeak - heapBefore);
                best[way] = std::min(best[way], took[way]);
                const fs::path& result = way == kReference ? reference : target;
                if (way == kReference) {
                    same = ok;
                } else {
                    same = ok && SameFiles(result, reference);
                }
                if (!same) {
                    fprintf(stderr, "ips_bench: \"%s\": way %d %s\n", shape.name.c_str(), way,
                            ok ? "differs from the reference" : "failed");
                    status = 1;
                }
            }
            if (!same) break;
            journalCost.push_back(took[kRun] - took[kNoJournal]);
            overSafe.push_back(took[kRun] / std::max(std::min(took[kSafeFloor], took[kNewFileFloor]), 1e-9));
            overReference.push_back(took[kRun] / std::max(took[kReference], 1e-9));
        }
        fs::remove(target, error);
        fs::remove(reference, error);
        Release(patch);
        if (!same || journalCost.empty()) continue;
        // This machine's speed drifts over seconds; runs measured back to
        // back share the drift, so medians of their pairs are the steadier
        // figures.
        auto median = [](std::vector<double> v) {
            std::sort(v.begin(), v.end());
            return v[v.size() / 2];
        };
        char heap[16] = "-";
        if (kHeapCounted) snprintf(heap, sizeof heap, "%.2f", double(peak) / (1 << 20));
        printf("%-27s %7u %6.1f | %5s %8.1f %8.1f %8.1f | %8.1f | %8.1f %8.1f | %6.3f %6.3f | %8s %8.2f\n",
               shape.name.c_str(), scan.recordCount, mib, newFile ? "n" : "j", best[kRun] * 1000,
               best[kNoJournal] * 1000,
               median(journalCost) * 1000, best[kReference] * 1000, best[kFloor] * 1000,
               std::min(best[kSafeFloor], best[kNewFileFloor]) * 1000,
               median(overSafe), median(overReference), heap, double(shape.patch.size()) / (1 << 20));
        fflush(stdout);
    }
    if ((only == 0 || only == 6) && !BpsRow(dir, repeat)) status = 1;
    fs::remove_all(dir, error);
    return status;
}
