// tessel-pack: builds, inspects and applies Tessel patchers.
#include <string>
#include <vector>

#include "tools/tessel_pack/commands.h"

int main(int argc, char** argv) {
    const Console console = ProcessConsole();
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    const int code = RunTesselPack(args, console);
    fflush(stdout);
    fflush(stderr);
    return code;
}
