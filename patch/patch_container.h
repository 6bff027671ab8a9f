// The payload carried at the end of the program file: a description block
// followed by a patch block, each length stored after the block it measures
// so both are found from the end of the file:
//
//   ... executable ... | description | L2 (u32 LE) | patch | L1 (u32 LE) |EOF
//
// L2 = description bytes + 4, L1 = patch bytes + 4. There is no magic number.
#pragma once
#include <stdint.h>

#include "patch/byte_stream.h"
#include "base/byte_string.h"

struct PatchContainerInfo {
    uint32_t fileSize;      // 0 when the file could not be opened or sized
    uint32_t l1;            // as read from the file (0 when not read)
    uint32_t l2;            // as read from the file (0 when not read)
    bool l1Valid;           // 4 <= L1 <= fileSize, and the patch bytes were read whole
    bool l2Valid;           // 4 <= L2 <= fileSize - L1, and the description was read whole
    // Where the payload begins: fileSize - L1 - L2 when both lengths are
    // valid, fileSize - L1 when only L1 is, fileSize when L1 is not. Cutting
    // the file here leaves the executable without (the recognised part of) a
    // payload.
    uint32_t payloadOffset;
};

// Reads the container at the end of the file at path. The patch bytes are
// written into patchOut at its position (may be null), the description goes
// to descriptionOut (may be null), info (may be null) tells what was found.
// The lengths are checked against the file size before any seek, so nothing
// before the start of the file is read and nothing larger than the file is
// allocated. A bad L1 gives an empty patch and an empty description; a good
// L1 with a bad L2 gives the patch and an empty description. Returns whether
// the patch block was found and read whole.
bool ReadPatchContainer(const ByteString& path, ByteStream* patchOut, ByteString* descriptionOut,
                        PatchContainerInfo* info);
