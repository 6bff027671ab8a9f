#include "platform/clock.h"

#include <windows.h>

// Kept a call of its own, so the import's address is read in one place: on
// i686 each "call [__imp_GetTickCount]" is a relocation (and a byte more
// than a direct call).
__attribute__((noinline)) uint32_t TickCount() { return GetTickCount(); }
