#include "app/carried_patch.h"

#include "patch/byte_stream.h"
#include "patch/patch_container.h"
#include "platform/program_path.h"

ByteStream* patchStream = nullptr;

ByteString LoadPatchContainer() {
    // Loaded once per start; a second call replaces the stream rather than
    // leaking it.
    ReleaseAndClear(patchStream);
    patchStream = CreateMemoryStream();
    ByteString description;
    ReadPatchContainer(GetProgramPath(), patchStream, &description, nullptr);
    return description;
}
