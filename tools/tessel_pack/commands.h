// The four commands and the dispatcher over them. Each takes the arguments
// after its own name and returns the process exit code (console.h).
#pragma once
#include <string>
#include <vector>

#include "tools/tessel_pack/console.h"

int RunBuild(const std::vector<std::string>& args, const Console& console);
int RunInspect(const std::vector<std::string>& args, const Console& console);
int RunApply(const std::vector<std::string>& args, const Console& console);
int RunCreate(const std::vector<std::string>& args, const Console& console);

// The whole tool: args are argv[1..].
int RunTesselPack(const std::vector<std::string>& args, const Console& console);
