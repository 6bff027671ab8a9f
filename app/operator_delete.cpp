// The global operator delete, for the downloaded program only. The virtual
// destructors' deleting forms name it, though the program makes its objects
// in its own calloc'ed blocks and frees them itself (base/ref_object.h);
// libstdc++'s copy would bring the only unwind tables in the program
// (.eh_frame: 88 bytes that cost a whole 512-byte file block).
//
// Compiled without link-time optimisation (app/CMakeLists.txt): ld 2.40
// crashes (signal 11) on this link when the definition is link-time code.
#include <stddef.h>
#include <stdlib.h>

void operator delete(void* block) noexcept { free(block); }
void operator delete(void* block, size_t) noexcept { free(block); }
