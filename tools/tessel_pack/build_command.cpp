// tessel-pack build: stub + description + L2 + patch + L1.
#include <stdio.h>

#include "patch/ips_patch.h"
#include "tools/tessel_pack/args.h"
#include "tools/tessel_pack/commands.h"
#include "tools/tessel_pack/description.h"
#include "tools/tessel_pack/file_io.h"
#include "tools/tessel_pack/help.h"
#include "tools/tessel_pack/patch_report.h"
#include "tools/tessel_pack/payload.h"
#include "tools/tessel_pack/pe_layout.h"

static const char kCommand[] = "build";

static const OptionDef kBuildOptions[] = {
    {"stub", 0, true},       {"patch", 0, true},  {"description", 0, true},
    {"codepage", 0, true},   {"output", 'o', true}, {"help", 'h', false},
};

static int UsageError(const Console& console, const std::string& what) {
    PrintError(console, kCommand, "", what + " (see 'tessel-pack build --help')");
    return kExitUsage;
}

int RunBuild(const std::vector<std::string>& args, const Console& console) {
    CommandLine line;
    std::string error;
    if (!ParseCommandLine(args, kBuildOptions, sizeof kBuildOptions / sizeof kBuildOptions[0], line,
                          error))
        return UsageError(console, error);
    if (line.Has("help")) {
        fputs(kBuildHelp, console.out);
        return kExitSuccess;
    }
    if (!line.positionals.empty())
        return UsageError(console, "unexpected argument '" + line.positionals[0] + "'");
    for (const char* required : {"stub", "patch", "description", "output"})
        if (!line.Has(required))
            return UsageError(console, std::string("missing --") + required);
    uint32_t codePage = 0;
    std::string codePageError;
    if (!CodePageOption(line, codePage, codePageError)) return UsageError(console, codePageError);

    const std::string& stubPath = *line.Value("stub");
    const std::string& patchPath = *line.Value("patch");
    const std::string& descriptionPath = *line.Value("description");
    const std::string& outputPath = *line.Value("output");

    // Everything is read before anything is written, so OUT may be the stub.
    std::string stub, patch, descriptionText, reason;
    if (!ReadWholeFile(stubPath, stub, reason)) {
        PrintError(console, kCommand, stubPath, reason);
        return kExitIoFailure;
    }
    if (!ReadWholeFile(patchPath, patch, reason)) {
        PrintError(console, kCommand, patchPath, reason);
        return kExitIoFailure;
    }
    const bool fromStdin = descriptionPath == "-";
    const std::string descriptionName = fromStdin ? "standard input" : descriptionPath;
    if (!(fromStdin ? ReadWholeStream(console.in, descriptionText, reason)
                    : ReadWholeFile(descriptionPath, descriptionText, reason))) {
        PrintError(console, kCommand, descriptionName, reason);
        return kExitIoFailure;
    }

    PeLayout layout;
    if (!ReadPeLayout(stub, layout, reason)) {
        PrintError(console, kCommand, stubPath, reason);
        return kExitRefused;
    }

    PatchScan scan;
    if (!ScanPatch(reinterpret_cast<const uint8_t*>(patch.data()),
                   static_cast<uint32_t>(patch.size()), &scan)) {
        PrintError(console, kCommand, patchPath, DescribePatchProblem(scan, patch));
        return kExitRefused;
    }

    std::string description;
    DescriptionProblem problem;
    if (!EncodeDescription(descriptionText, codePage, description, problem)) {
        PrintError(console, kCommand, descriptionName, DescribeProblem(problem, codePage));
        return kExitRefused;
    }

    CarriedPayload carried;
    ReadCarriedPayload(stubPath, carried);
    if (carried.info.fileSize != stub.size()) {
        PrintError(console, kCommand, stubPath, "changed while it was being read");
        return kExitIoFailure;
    }
    const uint64_t stubLength = StubExecutableLength(stub.size(), layout, carried);
    if (!FitsInContainer(stubLength, description.size(), patch.size())) {
        PrintError(console, kCommand, outputPath, "the patcher would reach 4 GiB, which the program cannot read");
        return kExitRefused;
    }
    if (stubLength < stub.size() && !carried.info.l2Valid)
        PrintWarning(console, kCommand, stubPath,
                     "its old payload has a damaged description length; only its patch block is "
                     "left out");
    for (const std::string& warning : PatchWarnings(scan))
        PrintWarning(console, kCommand, patchPath, warning);

    stub.resize(stubLength);
    const std::string payload = ComposePayload(description, patch);
    if (!WriteFileAtomically(outputPath, {&stub, &payload}, reason)) {
        PrintError(console, kCommand, outputPath, reason);
        return kExitIoFailure;
    }

    fprintf(console.out, "wrote %s: %llu bytes\n", outputPath.c_str(),
            static_cast<unsigned long long>(stub.size() + payload.size()));
    fprintf(console.out, "  stub         %llu bytes from %s", static_cast<unsigned long long>(stub.size()),
            stubPath.c_str());
    if (stubLength < carried.info.fileSize)
        fprintf(console.out, " (its old %llu-byte payload left out)",
                static_cast<unsigned long long>(carried.info.fileSize - stubLength));
    fprintf(console.out, "\n  description  %u bytes in code page %u (L2 = %u)\n",
            static_cast<unsigned>(description.size()), static_cast<unsigned>(codePage),
            static_cast<unsigned>(description.size() + 4));
    fprintf(console.out, "  patch        %u bytes, %u records (L1 = %u)\n",
            static_cast<unsigned>(patch.size()), static_cast<unsigned>(scan.recordCount),
            static_cast<unsigned>(patch.size() + 4));
    fflush(console.out);
    return kExitSuccess;
}
