// The product stub a tessel-pack carries at the end of its own file, so that
// `build` needs no --stub. The build appends it (scripts/embed-stub.sh):
//
//     tool executable | stub | stub size (4 bytes, little-endian) | "TSLSTUB1"
//
// Neither an ELF nor a PE loader looks past the executable's own sections, so
// the tool runs as before; the stub is read back from the tool's file.
#pragma once
#include <string>

extern const char kEmbeddedStubTag[9];  // "TSLSTUB1"

// The file the running tool was started from (main sets it; tests point it at
// a file of their own). Empty: the tool has no file to look in.
void SetToolFile(const std::string& path);
const std::string& ToolFile();
// This process's executable as UTF-8: /proc/self/exe, GetModuleFileNameW.
std::string RunningExecutablePath();

struct EmbeddedStub {
    enum State { Absent, Present, Damaged } state = Absent;
    std::string bytes;    // Present: the stub
    std::string version;  // Present: what its marker says
    std::string problem;  // Damaged: why it cannot be used
};

// Looks for the stub behind the trailer of ToolFile(). A stub that is there
// but is not a Tessel program, or a tool file that cannot be read, is
// Damaged.
EmbeddedStub ReadEmbeddedStub();

// "Tessel 1.0.0 stub for 32-bit Windows, 41984 bytes, SHA-256 <hex>" or why
// there is none; for --version.
std::string DescribeEmbeddedStub(const EmbeddedStub& stub);
