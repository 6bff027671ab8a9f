// Command-line parsing shared by the commands: long options with a value
// ("--patch x.ips" or "--patch=x.ips"), flags ("--backup"), one-letter
// aliases ("-o out.exe"), "--" to end the options, and positional arguments.
// A lone "-" is an ordinary value (it names standard input).
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

struct OptionDef {
    const char* longName;  // without the leading "--"
    char shortName;        // 0 when there is none
    bool takesValue;
    // May come again after each --variant (the build command's groups):
    // given twice within one group is still an error.
    bool perVariant;
};

struct CommandLine {
    std::vector<std::pair<std::string, std::string>> options;  // long name, value ("" for flags)
    std::vector<std::string> positionals;

    bool Has(const char* longName) const;
    // Null when the option was not given.
    const std::string* Value(const char* longName) const;
};

// False with a one-line reason for an unknown option, a missing value, a
// value given to a flag, or an option given twice (a perVariant one: twice
// since the last --variant).
bool ParseCommandLine(const std::vector<std::string>& args, const OptionDef* defs, size_t count,
                      CommandLine& out, std::string& error);

// Decimal code page number 1..65535, nothing else (no sign, no blanks).
bool ParseCodePage(const std::string& text, uint32_t& codePage);
