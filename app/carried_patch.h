// The patch this program carries at the end of its own file.
#pragma once
#include "base/byte_string.h"

class ByteStream;
struct TargetFacts;
struct PayloadExtension;

// The carried patch, a memory stream holding exactly the patch bytes and
// positioned at their end after LoadPatchContainer. The application owns it
// and releases it when the main form goes.
extern ByteStream* patchStream;
// The carried target verification data, or null when the patcher has none.
extern const TargetFacts* carriedFacts;
// The carried payload extension, variants included; null before
// LoadPatchContainer.
extern const PayloadExtension* carriedExtension;

// ReadPatchContainer on GetProgramPath(): sets patchStream to a new memory
// stream (releasing any earlier one) holding the patch and carriedFacts to
// the payload extension's verification data, and returns the description
// as UTF-8 (converted from the code page a patcher records, 936 when it
// records none). *title gets the extension's window title the same way,
// empty when the patcher names none.
ByteString LoadPatchContainer(ByteString* title = nullptr);
