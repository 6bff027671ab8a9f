// Fuzzes the patch scanner and the patch run in memory, fast enough to
// reach deep (tens of thousands of inputs a second). For every block:
//  - the memory scan, the stream scan and the plain reference reading agree
//    on whether the block is acceptable and on what it holds;
//  - an accepted block whose result stays within 64 KiB is applied to a
//    small memory target and gives exactly the reference's bytes;
//  - on one input in five, one seek, read, write or resize of the target
//    fails (chosen by the input): the run reports it and the target is
//    byte-identical afterwards, or, when every call after it fails too, the
//    run says the target may be damaged.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "faulty_stream.h"
#include "ips_reference.h"
#include "patch/byte_stream.h"
#include "patch/ips_patch.h"
#include "patch/patch_run.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "ips_fuzz: %s\n", what);
        abort();
    }
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

Bytes Contents(ByteStream* s) { return s->size ? Bytes(s->block, s->block + s->size) : Bytes(); }

}  // namespace

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

    std::vector<ipsref::Record> records;
    int64_t resize;
    Check(ipsref::Parse(block, &records, &resize) == valid, "scanner and reference disagree on validity");

    // A small target whose contents and length vary with the input.
    Bytes original(16 + size % 48);
    for (size_t i = 0; i < original.size(); ++i) original[i] = uint8_t(i * 29 + size);
    // Most random offsets land megabytes out; only results that stay small
    // are applied (their code path is the same as a far record's).
    if (valid && ipsref::FinalSize(records, resize, original.size()) > (64u << 10)) {
        Release(patch);
        return 0;
    }
    Bytes expected = original;
    if (valid) Check(ipsref::Apply(block, &expected), "reference refused what it parsed");

    faulty::Schedule& faults = faulty::Faults();
    faults = faulty::Schedule();
    if (size % 5 == 0 && size > 0) {
        faults.countdown = 1 + data[size - 1] % 32u;
        faults.sticky = size % 2 == 0;
    }
    ByteStream* target = faulty::MemoryStream(original.data(), uint32_t(original.size()));
    PatchRunReport report;
    const PatchResult result = ApplyPatchToStream(patch, target, nullptr, &report);
    if (!valid) {
        Check(result == PatchResultMalformed, "refused block not reported as malformed");
        Check(Contents(target) == original, "refused block changed the target");
    } else if (result == PatchResultDone) {
        Check(Contents(target) == expected, "target differs from the reference");
        Check(report.ips.recordsApplied == memoryScan.recordCount, "not every record applied");
    } else if (result == PatchResultWriteFailed) {
        Check(Contents(target) == original, "a failed run changed the target");
    } else {
        Check(result == PatchResultRestoreFailed && faults.sticky, "unexpected result");
    }
    faults = faulty::Schedule();
    Release(target);
    Release(patch);
    return 0;
}
