#include "app/app_texts.h"

#include "core/conversions.h"
#include "core/patch_messages.h"

const char16_t TextFormCaption[] = u"Tessel";
const char16_t TextBrowseCaption[] = u"文件";
const char16_t TextOkCaption[] = u"確定";
const char16_t TextBackupCaption[] = u"備份";

ByteString msgDone;
ByteString msgMs;
ByteString msgError;
ByteString msgWriteFailed;
ByteString msgBackupFailed;

void LoadMessageTexts() {
    msgDone = WideToAnsiText(PatchTextDone);
    msgError = WideToAnsiText(PatchTextError);
    msgMs = WideToAnsiText(PatchTextMs);
    msgWriteFailed = WideToAnsiText(PatchTextWriteFailed);
    msgBackupFailed = WideToAnsiText(PatchTextBackupFailed);
}
