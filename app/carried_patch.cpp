#include "app/carried_patch.h"

#include <new>

#include "patch/byte_stream.h"
#include "patch/patch_container.h"
#include "platform/conversions.h"
#include "platform/program_path.h"

ByteStream* patchStream = nullptr;
const TargetFacts* carriedFacts = nullptr;
const PayloadExtension* carriedExtension = nullptr;

namespace {

// Storage for the extension, made in place once and never destroyed: a
// global with ByteString members would need a destructor at exit, which
// this program has no runtime for (app/app_texts.cpp). Named .bss: mingw's
// GCC would store zero-filled statics in the .exe under -fdata-sections.
#ifdef __MINGW32__
__attribute__((section(".bss")))
#endif
alignas(PayloadExtension) unsigned char g_extension[sizeof(PayloadExtension)];

// Patchers made before the extension recorded no code page; they were
// written on (and for) Chinese systems in GBK.
const uint32_t kUnrecordedCodePage = 936;

// Carried text as UTF-8, the form the window layer takes. UTF-8 (new
// patchers) is kept as it is; code-page bytes (patchers without the
// extension, or built for one code page) are converted from the code page
// the patcher records, so they read the same on every system.
ByteString ToUtf8(const ByteString& text, uint32_t codePage) {
    if (codePage == CodePageUtf8) return text;
    return WideToUtf8Text(CodePageToWideText(codePage ? codePage : kUnrecordedCodePage, text));
}

}  // namespace

ByteString LoadPatchContainer(ByteString* title) {
    // Loaded once per start; a second call replaces the stream rather than
    // leaking it.
    ReleaseAndClear(patchStream);
    patchStream = CreateMemoryStream();
    ByteString block, description;
    // By the file's real name (GetModuleFileNameW): the ANSI name is lossy
    // in a folder the code page cannot hold, and would find no payload there.
    ReadPatchContainerFrom(ReadOnlyFileStreamOn(OpenProgramFile()), patchStream, &block, nullptr);
    PayloadExtension* made = reinterpret_cast<PayloadExtension*>(g_extension);
    if (!carriedExtension) carriedExtension = new (g_extension) PayloadExtension();
    PayloadExtension& extension = *made;
    SplitDescriptionBlock(block, &description, &extension);
    carriedFacts = extension.hasFacts ? &extension.facts : nullptr;
    if (title) *title = ToUtf8(extension.title, extension.codePage);
    return ToUtf8(description, extension.codePage);
}
