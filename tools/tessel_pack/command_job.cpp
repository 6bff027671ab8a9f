#include "tools/tessel_pack/command_job.h"

bool CommandJob::ReadCommandLine(const std::vector<std::string>& args) {
    std::string error;
    if (!ParseCommandLine(args, command.options, command.optionCount, line, error)) return UsageError(error);
    if (line.Has("help")) {
        Print(console, command.help);
        exitCode = kExitSuccess;
        return false;
    }
    return true;
}

bool CommandJob::Fail(int code, const std::string& file, const std::string& what) {
    PrintError(console, command.name, file, what);
    exitCode = code;
    return false;
}

bool CommandJob::UsageError(const std::string& what) {
    return Fail(kExitUsage, "", what + " (see 'tessel-pack " + command.name + " --help')");
}

void CommandJob::Warn(const std::string& file, const std::string& what) {
    PrintWarning(console, command.name, file, what);
}
