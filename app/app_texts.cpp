#include "app/app_texts.h"

#include "core/conversions.h"

const char16_t TextFormCaption[] = u"Tessel";
const char16_t TextBrowseCaption[] = u"文件";
const char16_t TextOkCaption[] = u"確定";
const char16_t TextBackupCaption[] = u"備份";
const char16_t TextDone[] = u"完成! 總用時:";
const char16_t TextMs[] = u" ms";
const char16_t TextError[] = u"程序錯誤!";
const char16_t TextWriteFailed[] = u"寫入失敗!";
const char16_t TextBackupFailed[] = u"備份失敗!";

ByteString msgDone;
ByteString msgMs;
ByteString msgError;
ByteString msgWriteFailed;
ByteString msgBackupFailed;

void LoadMessageTexts() {
    msgDone = WideToAnsiText(TextDone);
    msgError = WideToAnsiText(TextError);
    msgMs = WideToAnsiText(TextMs);
    msgWriteFailed = WideToAnsiText(TextWriteFailed);
    msgBackupFailed = WideToAnsiText(TextBackupFailed);
}
