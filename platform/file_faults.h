// A seam for the fault tests and the fuzzer, POSIX build only: every file
// wrapper of platform/file_handle.h asks the hook before it calls the
// system, and when the hook says so fails the way the system call would
// (an invalid handle, a count of 0, false). The Windows program has no hook.
#pragma once
#include <stdint.h>

enum class FileOperation : uint8_t { Open, Seek, Read, Write, SetEnd, Flush, Close, Copy, Rename };

// Returns true to make this call fail.
typedef bool (*FileFaultHook)(FileOperation operation);

// Asks the hook about one call (false without a hook), for the other
// POSIX wrappers of the platform layer.
bool FileFaultStrikes(FileOperation operation);

// Installs hook (null: none); returns the previous one.
FileFaultHook SetFileFaultHook(FileFaultHook hook);
