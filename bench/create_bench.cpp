// Patch creation: for a table of original/modified pairs, the size of the
// IPS and the BPS patch tessel-pack create writes, whether each gives the
// modified file back through Tessel's own applier, the creation time, and
// the process's peak memory so far.
//
// Usage: create_bench [--big]   (--big adds a 64 MiB pair)
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

#include "tools/tessel_pack/bps_create.h"
#include "tools/tessel_pack/ips_create.h"
#include "tools/tessel_pack/pair_patch.h"
#include "tools/tessel_pack/suffix_array.h"

using Clock = std::chrono::steady_clock;

namespace {

struct Pair {
    std::string name, original, modified;
};

std::string Random(size_t n, uint32_t seed, int alphabet = 256) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = char(rng() % alphabet);
    return s;
}

// A ROM-like image: code-like random stretches, text, and 0xFF padding.
std::string Rom(size_t n, uint32_t seed) {
    std::string rom = Random(n, seed);
    std::mt19937 rng(2);
    for (size_t at = 0; at + 360000 <= n; at += 400000) rom.replace(at + 300000, 60000, 60000, '\xFF');
    for (size_t at = 0; at + 64 < n; at += 5000 + rng() % 3000)
        rom.replace(at, 48, "The hero enters the castle and speaks to the kin");
    return rom;
}

std::vector<Pair> SmallPairs() {
    std::vector<Pair> pairs;
    const std::string rom = Rom(4 << 20, 1);
    {
        std::string m = rom;  // every text line translated in place, each one differently
        std::mt19937 lines(2), words(3);
        for (size_t at = 0; at + 64 < m.size(); at += 5000 + lines() % 3000)
            for (size_t i = 0; i < 48; ++i) m[at + i] = char('a' + words() % 26);
        pairs.push_back({"translation-like edits (4 MiB)", rom, m});
    }
    {
        std::string m = rom;  // 0xFF padding turned into 0x00 runs
        for (size_t at = 300000; at + 60000 < m.size(); at += 400000) m.replace(at, 60000, 60000, '\0');
        pairs.push_back({"padding changed to runs", rom, m});
    }
    pairs.push_back({"expanded ROM (4 -> 6 MiB)", rom, rom + Random(1 << 20, 3) + std::string(1 << 20, '\0')});
    {
        std::string m = rom.substr(0, 3 << 20);
        m.replace(1000, 20, "shrunk and patched  ");
        pairs.push_back({"shrunk ROM (4 -> 3 MiB)", rom, m});
    }
    {
        std::string m = rom;
        for (size_t at = 0; at < (1 << 20); at += 4) m[at] = char(m[at] ^ 0x40);
        pairs.push_back({"a byte in every four (1 MiB)", rom, m});
    }
    {
        std::string a = Rom(6 << 20, 9), m = a;
        for (uint32_t at = kIpsEofOffset; at < kIpsEofOffset + 8; ++at) m[at] = char(m[at] ^ 1);
        m[kIpsEofOffset + 100] ^= 1;
        pairs.push_back({"changes around 0x454F46", a, m});
    }
    pairs.push_back({"a moved block (1 MiB)", rom,
                     rom.substr(0, 1 << 20) + rom.substr(2 << 20) + rom.substr(1 << 20, 1 << 20)});
    pairs.push_back({"1,000 bytes inserted", rom, rom.substr(0, 2 << 20) + Random(1000, 5) + rom.substr(2 << 20)});
    return pairs;
}

// n MiB: a 16-byte edit every 50,000 bytes and 4 KiB inserted at two thirds.
Pair LargePair(size_t mib) {
    Pair pair = {std::to_string(mib) + " MiB pair, edits + insertion", Rom(mib << 20, 11), std::string()};
    pair.modified = pair.original;
    for (size_t at = 0; at + 64 < pair.modified.size(); at += 50000) pair.modified.replace(at, 16, "large pair edit.");
    pair.modified.insert((mib << 20) * 2 / 3, Random(4096, 12));
    return pair;
}

double PeakMiB() {
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return counters.PeakWorkingSetSize / 1048576.0;
#else
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
#endif
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

void Measure(const Pair& pair, PatchFormat format) {
    std::string patch, reason, result;
    const Clock::time_point start = Clock::now();
    const bool made = format == PatchFormatIps
                          ? CreateIpsPatch(Bytes(pair.original), pair.original.size(), Bytes(pair.modified),
                                           pair.modified.size(), patch, reason)
                          : CreateBpsPatch(Bytes(pair.original), pair.original.size(), Bytes(pair.modified),
                                           pair.modified.size(), patch, reason);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!made) {
        printf("  %-3s  refused (%.2f s): %s\n", FormatName(format), seconds, reason.c_str());
        return;
    }
    const char* trip = !ApplyInMemory(format, patch, pair.original, result) ? "no applier"
                       : result == pair.modified                             ? "gives B"
                                                                             : "WRONG";
    printf("  %-3s  %10zu bytes  %7.2f s  round trip: %-10s  peak %6.0f MiB\n", FormatName(format), patch.size(),
           seconds, trip, PeakMiB());
}

// The suffix sorting alone, both builders on the joined pair (they must
// agree: a suffix array is unique).
void MeasureSorters(const Pair& pair) {
    const std::string joined = pair.original + pair.modified;
    const int32_t n = int32_t(joined.size());
    std::vector<int32_t> library(joined.size()), inTree(joined.size());
    Clock::time_point start = Clock::now();
    BuildSuffixArray(Bytes(joined), n, library.data());
    const double first = std::chrono::duration<double>(Clock::now() - start).count();
    start = Clock::now();
    BuildSuffixArrayInTree(Bytes(joined), n, inTree.data());
    const double second = std::chrono::duration<double>(Clock::now() - start).count();
    printf("  suffix sorting of %d bytes: %s %.2f s, in-tree SA-IS %.2f s, arrays %s\n", n, SuffixArrayBuilderName(),
           first, second, library == inTree ? "equal" : "DIFFERENT");
}

void MeasureBoth(const Pair& pair) {
    printf("%s: original %zu, modified %zu bytes\n", pair.name.c_str(), pair.original.size(), pair.modified.size());
    Measure(pair, PatchFormatIps);
    Measure(pair, PatchFormatBps);
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const bool big = argc > 1 && strcmp(argv[1], "--big") == 0;
    printf("patch creation (suffix arrays: %s)\n", SuffixArrayBuilderName());
    for (const Pair& pair : SmallPairs()) MeasureBoth(pair);
    const Pair large = LargePair(32);
    MeasureBoth(large);
    MeasureSorters(large);
    if (big) MeasureBoth(LargePair(64));
    return 0;
}
