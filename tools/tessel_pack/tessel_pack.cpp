// Dispatch over the commands, and the tool's own --help and --version.
#include "tools/tessel_pack/commands.h"
#include "tools/tessel_pack/embedded_stub.h"
#include "tools/tessel_pack/help.h"

typedef int (*CommandRunner)(const std::vector<std::string>& args, const Console& console);

static const struct {
    const char* name;
    CommandRunner run;
} kCommands[] = {
    {"build", RunBuild},
    {"inspect", RunInspect},
    {"apply", RunApply},
    {"create", RunCreate},
};

static CommandRunner FindCommand(const std::string& name) {
    for (const auto& command : kCommands)
        if (name == command.name) return command.run;
    return nullptr;
}

static int UnknownCommand(const Console& console, const std::string& name) {
    PrintError(console, "", "", "unknown command '" + name + "' (see 'tessel-pack --help')");
    return kExitUsage;
}

int RunTesselPack(const std::vector<std::string>& args, const Console& console) {
    if (args.empty()) {
        PrintToError(console, kToolHelp);
        return kExitUsage;
    }
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (CommandRunner run = FindCommand(command)) return run(rest, console);
    if (command == "help" && !rest.empty()) {
        CommandRunner run = FindCommand(rest[0]);
        return run ? run({"--help"}, console) : UnknownCommand(console, rest[0]);
    }
    if (command == "--help" || command == "-h" || command == "help") {
        Print(console, kToolHelp);
        return kExitSuccess;
    }
    if (command == "--version") {
        Print(console, std::string(kToolVersion) + "\nstub: " + DescribeEmbeddedStub(ReadEmbeddedStub()) + "\n");
        return kExitSuccess;
    }
    return UnknownCommand(console, command);
}
