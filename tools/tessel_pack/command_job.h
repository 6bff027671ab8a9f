// What the steps of every command share. A command runs as a chain of steps
// over its job, each one function that reads like a line of the algorithm:
//
//     const bool done = ReadOptions(args, job) && ReadInputs(job) && ...;
//
// A step returns true to go on, or false once it has printed why and set the
// job's exit code (Fail, UsageError); --help also stops the chain, with
// success. A new option is a row in the command's option table and, where it
// changes the work, a step or a field of its job.
#pragma once
#include <stddef.h>

#include <string>
#include <vector>

#include "tools/tessel_pack/args.h"
#include "tools/tessel_pack/console.h"

struct CommandSpec {
    const char* name;  // "build"
    const OptionDef* options;
    size_t optionCount;
    const char* help;
};

struct CommandJob {
    CommandJob(const CommandSpec& command, const Console& console) : command(command), console(console) {}

    const CommandSpec& command;
    const Console& console;
    CommandLine line;
    int exitCode = kExitSuccess;

    // Parses args against the option table; false for a usage error and for
    // --help (the help is then printed and the exit code is success).
    bool ReadCommandLine(const std::vector<std::string>& args);
    // A one-line error naming the file (may be empty); sets the exit code.
    bool Fail(int code, const std::string& file, const std::string& what);
    // "<what> (see 'tessel-pack NAME --help')", exit code 2.
    bool UsageError(const std::string& what);
    void Warn(const std::string& file, const std::string& what);
};
