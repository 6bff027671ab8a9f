#include "tools/tessel_pack/messages.h"

#include "tools/tessel_pack/utf8.h"

std::string MessageUtf8(const char16_t* text) {
    return EncodeUtf8(FromUtf16(std::u16string(text)));
}
