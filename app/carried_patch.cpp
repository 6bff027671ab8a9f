#include "app/carried_patch.h"

#include "patch/byte_stream.h"
#include "patch/patch_container.h"
#include "platform/conversions.h"
#include "platform/program_path.h"

#include <new>

ByteStream* patchStream = nullptr;
const TargetFacts* carriedFacts = nullptr;
PayloadExtension* carriedExtension = nullptr;

namespace {

TargetFacts g_facts;
alignas(PayloadExtension) unsigned char g_extension[sizeof(PayloadExtension)];

// Carried text in the thread's ANSI code page. UTF-8 (new patchers) is
// converted; code-page bytes (patchers without the extension, or built for
// one code page) go through UTF-16 and back, so text valid in the thread's
// code page comes out unchanged.
ByteString ToAnsi(const ByteString& text, uint32_t codePage) {
    return WideToAnsiText(codePage == CodePageUtf8 ? Utf8ToWideText(text) : AnsiToWideText(text));
}

}  // namespace

ByteString LoadPatchContainer(ByteString* title) {
    // Loaded once per start; a second call replaces the stream rather than
    // leaking it.
    ReleaseAndClear(patchStream);
    patchStream = CreateMemoryStream();
    ByteString block, description;
    // By the file's real name: GetModuleFileNameA's name is lossy in a
    // folder the code page cannot hold, and would find no payload there.
    ReadPatchContainerFrom(ReadOnlyFileStreamOn(OpenProgramFile()), patchStream, &block, nullptr);
    // Made in place once and never destroyed: a global with ByteString
    // members would need a destructor at exit, which this program has no
    // runtime for (app/app_texts.cpp).
    if (!carriedExtension) carriedExtension = new (g_extension) PayloadExtension();
    PayloadExtension& extension = *carriedExtension;
    SplitDescriptionBlock(block, &description, &extension);
    g_facts = extension.facts;
    carriedFacts = extension.hasFacts ? &g_facts : nullptr;
    if (title) *title = ToAnsi(extension.title, extension.codePage);
    return ToAnsi(description, extension.codePage);
}
