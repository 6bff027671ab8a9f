// The patch this program carries at the end of its own file.
#pragma once
#include "base/byte_string.h"

class ByteStream;

// The carried patch, a memory stream holding exactly the patch bytes and
// positioned at their end after LoadPatchContainer. The application owns it
// and releases it when the main form goes.
extern ByteStream* patchStream;

// ReadPatchContainer on GetProgramPath(): sets patchStream to a new memory
// stream (releasing any earlier one) holding the patch, and returns the
// description.
ByteString LoadPatchContainer();
