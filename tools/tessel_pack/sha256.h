// SHA-256 (FIPS 180-4), for naming the stub a tessel-pack carries: the same
// digest `sha256sum tessel-stub.exe` prints.
#pragma once
#include <string>

// 64 lower-case hexadecimal digits.
std::string Sha256Hex(const std::string& bytes);
