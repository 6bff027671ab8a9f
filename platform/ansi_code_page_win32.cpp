// The conversion code page of the thread's locale and the conversions in it,
// in a file of their own: a program that never converts to or from the ANSI
// code page (the patcher, whose texts are UTF-8 and reach Windows as
// UTF-16) then does not link this file, nor import the calls it makes.
#include <windows.h>

#include "platform/conversions.h"

namespace {

const WCHAR* W(const char16_t* p) { return reinterpret_cast<const WCHAR*>(p); }

uint32_t g_conversionCodePage;  // 0 until first chosen

uint32_t ChooseCodePage() {
    // CP_THREAD_ACP exists from Windows 2000 (5.0) on; before that the same
    // code page is read from the thread locale.
    DWORD version = GetVersion();
    if (LOBYTE(LOWORD(version)) >= 5) return CP_THREAD_ACP;
    char number[8] = {0};
    if (GetLocaleInfoA(GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE, number, sizeof number) > 0) {
        uint32_t cp = 0;
        for (int i = 0; number[i] >= '0' && number[i] <= '9'; ++i) cp = cp * 10 + (number[i] - '0');
        if (cp != 0) return cp;
    }
    return CP_ACP;
}

}  // namespace

uint32_t ConversionCodePage() {
    if (g_conversionCodePage == 0) g_conversionCodePage = ChooseCodePage();
    return g_conversionCodePage;
}

ByteString WideToAnsiText(const char16_t* text, uint32_t length) {
    return WideToCodePageText(ConversionCodePage(), text, length);
}

WideString AnsiToWideText(const ByteString& text) { return CodePageToWideText(ConversionCodePage(), text); }

bool AnsiCanHold(const char16_t* text) {
    // Only a verdict, so no output buffer. WC_NO_BEST_FIT_CHARS keeps a
    // look-alike from passing for the character (systems before Windows 2000
    // refuse the flag: asked again without it); the default-character flag
    // reports anything else that would not survive. A code page that takes
    // no default-character argument (Windows 10's optional UTF-8 ANSI code
    // page) fails both calls and converts without one: it holds every text.
    uint32_t cp = ConversionCodePage();
    BOOL usedDefault = FALSE;
    int n = WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, W(text), -1, NULL, 0, NULL, &usedDefault);
    if (n <= 0) n = WideCharToMultiByte(cp, 0, W(text), -1, NULL, 0, NULL, &usedDefault);
    if (n > 0) return !usedDefault;
    return WideCharToMultiByte(cp, 0, W(text), -1, NULL, 0, NULL, NULL) > 0;
}

ByteString WideToAnsiText(const char16_t* text) { return WideToAnsiText(text, WideLength(text)); }

ByteString WideToAnsiText(const WideString& text) { return WideToAnsiText(text.Data(), text.Length()); }
