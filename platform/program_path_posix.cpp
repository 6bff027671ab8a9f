#include "platform/program_path.h"

#include <limits.h>
#include <unistd.h>

ByteString GetProgramPath() {
    // readlink does not terminate and silently cuts a long target: a result
    // that fills the buffer may be cut, so it counts as no path at all.
    char buffer[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return ByteString();
    return ByteString(buffer, static_cast<uint32_t>(length));
}

FileHandle OpenProgramFile() {
    // POSIX names are bytes: the path readlink gives opens as it is.
    const ByteString path = GetProgramPath();
    return path.Empty() ? InvalidFileHandle() : OpenFileHandle(path, OpenModeReadOnly);
}
