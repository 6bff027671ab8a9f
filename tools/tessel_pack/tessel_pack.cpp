// Dispatch over the commands, and the tool's own --help and --version.
#include <stdio.h>

#include "tools/tessel_pack/commands.h"
#include "tools/tessel_pack/help.h"

int RunTesselPack(const std::vector<std::string>& args, const Console& console) {
    if (args.empty()) {
        fputs(kToolHelp, console.err);
        return kExitUsage;
    }
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "build") return RunBuild(rest, console);
    if (command == "inspect") return RunInspect(rest, console);
    if (command == "apply") return RunApply(rest, console);
    if (command == "--help" || command == "-h" || command == "help") {
        if (command == "help" && !rest.empty()) {
            const std::vector<std::string> help = {"--help"};
            if (rest[0] == "build") return RunBuild(help, console);
            if (rest[0] == "inspect") return RunInspect(help, console);
            if (rest[0] == "apply") return RunApply(help, console);
            PrintError(console, "", "", "unknown command '" + rest[0] + "' (see 'tessel-pack --help')");
            return kExitUsage;
        }
        fputs(kToolHelp, console.out);
        return kExitSuccess;
    }
    if (command == "--version") {
        fputs(kToolVersion, console.out);
        return kExitSuccess;
    }
    PrintError(console, "", "", "unknown command '" + command + "' (see 'tessel-pack --help')");
    return kExitUsage;
}
