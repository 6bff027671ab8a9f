// Telling a Tessel program (the stub, or a patcher made from it) from other
// files, and naming the files publishers give by mistake.
#pragma once
#include <string>

#include "tools/tessel_pack/pe_layout.h"

// res/tessel.rc compiles "TESSEL-STUB/<version>" and a NUL into every build
// of the program. A Tessel program is a Windows GUI executable whose image
// (not a payload after it) holds that marker with a version of 1 to 16
// characters from [0-9A-Za-z.+-]. True with the version; false with a reason
// ("not a Tessel program (...)") otherwise.
bool RecogniseTesselProgram(const std::string& bytes, const PeLayout& layout, std::string& version,
                            std::string& reason);

// What a file that is not an IPS patch looks like from its first bytes:
// "a BPS patch", "a UPS patch", "an xdelta (VCDIFF) patch", "a PPF patch",
// "a ZIP archive", "a 7-Zip archive", "a RAR archive", "a gzip file",
// "a Windows program"; empty when it is none of these.
std::string RecogniseOtherFormat(const std::string& bytes);

// "a UPS patch: Tessel carries IPS and BPS patches" and the like, for a file that
// RecogniseOtherFormat names (archives get a hint to unpack them first).
std::string NotAnIpsPatch(const std::string& format);
