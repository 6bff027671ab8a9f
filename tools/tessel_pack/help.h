// The tool's help texts and version.
#pragma once

extern const char kToolVersion[];
extern const char kToolHelp[];
extern const char kBuildHelp[];
extern const char kInspectHelp[];
extern const char kApplyHelp[];
extern const char kCreateHelp[];
