// The phases of a run around its writes, each beside what the system or a
// standard library does with the same bytes:
//   identification  FileSizeAndCrc on a cached file, against the same file
//                   read in the same chunks through zlib's crc32, and both
//                   CRCs alone over the bytes in memory;
//   backup          MakeBackupCopy (copy, flush, rename) against the
//                   system's copy: `cp` (and `cp` then fsync) natively,
//                   CopyFileW (and CopyFileW then FlushFileBuffers) on
//                   Windows;
//   carried patch   the program's read of a 16 MiB patch from the end of a
//                   patcher file (ReadPatchContainer) against one read of
//                   the same bytes into a block.
// Each row gives the best time of the runs and the median over the runs of
// each run's ratio to its partner measured just before it, and the peak
// memory the process reached in the row (natively the high-water mark of
// its resident size, reset before each row; on Windows the process's peak
// working set, which cannot be reset: rows run smallest first).
//
// Usage: phase_bench [--dir DIRECTORY] [--repeat N] [--size MiB]
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include "patch/backup_copy.h"
#include "patch/byte_stream.h"
#include "patch/patch_container.h"
#include "patch/target_check.h"
#include "platform/file_handle.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

ByteString PathText(const fs::path& p) { return ByteString(p.string().c_str()); }

// --- peak memory ------------------------------------------------------------

void ResetPeakMemory() {
#ifndef _WIN32
    // 5: the resident high-water mark starts again from the current size.
    std::ofstream("/proc/self/clear_refs") << "5";
#endif
}

double PeakMemoryMiB() {
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return double(counters.PeakWorkingSetSize) / (1 << 20);
#else
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmHWM:") == 0) return atof(line.c_str() + 6) / 1024;
    return 0;
#endif
}

// --- the compared operations --------------------------------------------------

const uint32_t kReadChunk = 256 * 1024;

bool TesselIdentify(const fs::path& file, uint32_t* crc) {
    FileHandle handle = OpenFileHandle(PathText(file), OpenModeReadOnly);
    uint32_t size = 0;
    const bool ok = FileSizeAndCrc(handle, &size, crc);
    CloseFileHandle(handle);
    return ok;
}

bool ZlibIdentify(const fs::path& file, uint32_t* crc) {
    static std::vector<uint8_t> chunk(kReadChunk);
    FileHandle handle = OpenFileHandle(PathText(file), OpenModeReadOnly);
    uLong value = crc32(0, nullptr, 0);
    uint32_t got;
    while ((got = ReadFileHandle(handle, chunk.data(), kReadChunk)) > 0) value = crc32(value, chunk.data(), got);
    CloseFileHandle(handle);
    *crc = uint32_t(value);
    return IsValidFileHandle(handle);
}

// The system's copy, optionally handed to the disk as the backup is.
bool SystemCopy(const fs::path& from, const fs::path& to, bool flush) {
#ifdef _WIN32
    if (!CopyFileW(from.wstring().c_str(), to.wstring().c_str(), FALSE)) return false;
#else
    const std::string a = from.string(), b = to.string();
    char* args[] = {const_cast<char*>("cp"), const_cast<char*>(a.c_str()), const_cast<char*>(b.c_str()), nullptr};
    pid_t child;
    int status = 0;
    if (posix_spawnp(&child, "cp", nullptr, nullptr, args, environ) != 0 || waitpid(child, &status, 0) != child ||
        !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return false;
#endif
    if (!flush) return true;
    FileHandle handle = OpenFileHandle(PathText(to), OpenModeReadWriteExisting);
    const bool flushed = FlushFileHandle(handle);
    return CloseFileHandle(handle) && flushed;
}

// A patcher file: a stand-in program, a description, the patch, and the
// two lengths, as tessel-pack lays them out.
bool MakePatcher(const fs::path& path, uint32_t patchSize) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(64 * 1024, 'x');
    out.write(block.data(), std::streamsize(block.size()));
    auto le32 = [&](uint32_t v) {
        const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
        out.write(b, 4);
    };
    const std::string description = "bench";
    out.write(description.data(), std::streamsize(description.size()));
    le32(uint32_t(description.size() + 4));
    out.write("PATCH", 5);
    for (uint32_t i = 0; i < block.size(); ++i) block[i] = char(i * 131 + (i >> 9));
    for (uint32_t done = 5; done < patchSize; done += uint32_t(block.size()))
        out.write(block.data(), std::streamsize(std::min<uint32_t>(patchSize - done, uint32_t(block.size()))));
    le32(patchSize + 4);
    return bool(out);
}

bool ContainerRead(const fs::path& patcher, uint32_t patchSize) {
    ByteStream* patch = CreateMemoryStream();
    ByteString description;
    const bool ok = ReadPatchContainer(PathText(patcher), patch, &description, nullptr) &&
                    StreamGetSize(patch) == patchSize;
    Release(patch);
    return ok;
}

bool PlainRead(const fs::path& patcher, uint32_t patchSize) {
    FileHandle handle = OpenFileHandle(PathText(patcher), OpenModeReadOnly);
    uint8_t* block = static_cast<uint8_t*>(malloc(patchSize));
    const bool ok = block && SeekFileHandle(handle, -int32_t(patchSize + 4), SeekOrigin::End) != InvalidPosition &&
                    ReadFileHandle(handle, block, patchSize) == patchSize;
    free(block);
    CloseFileHandle(handle);
    return ok;
}

// --- the table ------------------------------------------------------------------

struct Row {
    const char* name;
    double mib;
    std::function<bool()> tessel, other;
    const char* otherName;
};

bool Measure(const Row& row, int repeat) {
    ResetPeakMemory();
    double bestTessel = 1e30, bestOther = 1e30;
    std::vector<double> ratios;
    for (int r = 0; r < repeat; ++r) {
        Clock::time_point t0 = Clock::now();
        if (!row.other()) return false;
        const double other = Seconds(Clock::now() - t0);
        Clock::time_point t1 = Clock::now();
        if (!row.tessel()) return false;
        const double tessel = Seconds(Clock::now() - t1);
        bestTessel = std::min(bestTessel, tessel);
        bestOther = std::min(bestOther, other);
        ratios.push_back(tessel / std::max(other, 1e-9));
    }
    std::sort(ratios.begin(), ratios.end());
    printf("%-34s %8.1f %8.0f | %-24s %8.1f %8.0f | %6.2f %6.2f | %7.1f\n", row.name, bestTessel * 1000,
           row.mib / bestTessel, row.otherName, bestOther * 1000, row.mib / bestOther, bestTessel / bestOther,
           ratios[ratios.size() / 2], PeakMemoryMiB());
    fflush(stdout);
    return true;
}

bool MakeFile(const fs::path& path, uint32_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 2654435761u >> 13);
    for (uint32_t done = 0; done < size && out; done += uint32_t(block.size())) {
        block[0] = char(done >> 20);
        out.write(block.data(), std::streamsize(std::min<uint32_t>(size - done, uint32_t(block.size()))));
    }
    return bool(out);
}

}  // namespace

int main(int argc, char** argv) {
    fs::path base = fs::temp_directory_path();
    int repeat = 7;
    uint32_t mib = 64;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc) {
            base = argv[++i];
        } else if (a == "--repeat" && i + 1 < argc) {
            repeat = std::max(1, atoi(argv[++i]));
        } else if (a == "--size" && i + 1 < argc) {
            mib = uint32_t(std::max(1, std::min(2048, atoi(argv[++i]))));
        } else {
            fprintf(stderr, "usage: phase_bench [--dir DIRECTORY] [--repeat N] [--size MiB]\n");
            return a == "--help" ? 0 : 2;
        }
    }
    std::error_code error;
    const fs::path dir = base / ("tessel-phase-bench-" + std::to_string(Clock::now().time_since_epoch().count()));
    fs::create_directories(dir, error);
    const fs::path target = dir / "target.bin", copy = dir / "copy.bin", patcher = dir / "patcher.exe";
    const uint32_t size = mib << 20, patchSize = 16u << 20;
    if (error || !MakeFile(target, size) || !MakePatcher(patcher, patchSize)) {
        fprintf(stderr, "phase_bench: cannot make the files in %s\n", dir.string().c_str());
        return 3;
    }

    uint32_t tesselCrc = 0, zlibCrc = 1;
    const bool agree = TesselIdentify(target, &tesselCrc) && ZlibIdentify(target, &zlibCrc) && tesselCrc == zlibCrc;
    if (!agree) fprintf(stderr, "phase_bench: the CRCs differ: %08x, zlib %08x\n", tesselCrc, zlibCrc);

    printf("%-34s %8s %8s | %-24s %8s %8s | %-13s | %7s\n", "Tessel", "best ms", "MiB/s", "beside", "best ms", "MiB/s",
           "ratio best/med", "peak MiB");
    char name[64];
    const std::string backupName = target.string() + ".bak";
    bool ok = agree;
    snprintf(name, sizeof name, "carried patch read, %u MiB", patchSize >> 20);
    ok = ok && Measure({name, double(patchSize >> 20), [&] { return ContainerRead(patcher, patchSize); },
                        [&] { return PlainRead(patcher, patchSize); }, "one read into a block"},
                       repeat);
    snprintf(name, sizeof name, "identification, %u MiB cached", mib);
    ok = ok && Measure({name, double(mib), [&] { uint32_t c; return TesselIdentify(target, &c); },
                        [&] { uint32_t c; return ZlibIdentify(target, &c); }, "read + zlib crc32"},
                       repeat);
    snprintf(name, sizeof name, "backup copy (flushed), %u MiB", mib);
#ifdef _WIN32
    const char* systemCopy = "CopyFileW";
    const char* systemCopyFlushed = "CopyFileW + flush";
#else
    const char* systemCopy = "cp";
    const char* systemCopyFlushed = "cp + fsync";
#endif
    const auto backup = [&] { return MakeBackupCopy(PathText(target), PathText(backupName)); };
    ok = ok && Measure({name, double(mib), backup, [&] { return SystemCopy(target, copy, true); }, systemCopyFlushed},
                       repeat);
    ok = ok && Measure({name, double(mib), backup, [&] { return SystemCopy(target, copy, false); }, systemCopy},
                       repeat);

    // The CRCs alone, over bytes already in memory: last, as the block is
    // the size of the file.
    std::vector<uint8_t> bytes;
    {
        std::ifstream in(target, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    snprintf(name, sizeof name, "CRC-32 alone, %u MiB in memory", mib);
    volatile uint32_t sink = 0;
    ok = ok && Measure({name, double(mib), [&] { sink = Crc32Update(0, bytes.data(), uint32_t(bytes.size())); return true; },
                        [&] { sink = uint32_t(crc32(0, bytes.data(), uInt(bytes.size()))); return true; }, "zlib crc32"},
                       repeat);
    fs::remove_all(dir, error);
    if (!ok) fprintf(stderr, "phase_bench: a measured operation failed\n");
    return ok ? 0 : 1;
}
