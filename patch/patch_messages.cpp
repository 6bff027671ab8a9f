#include "patch/patch_messages.h"

const char16_t PatchTextDone[] = u"完成! 總用時:";
const char16_t PatchTextMs[] = u" ms";
const char16_t PatchTextError[] = u"程序錯誤!";
const char16_t PatchTextWriteFailed[] = u"寫入失敗!";
const char16_t PatchTextBackupFailed[] = u"備份失敗!";
const char16_t PatchTextMayBeDamaged[] = u"檔案可能已損壞!";
const char16_t PatchTextBackupIn[] = u"原檔備份: ";
const char16_t PatchTextAlreadyPatched[] = u"此檔案已經修補過了!";
const char16_t PatchTextNotOriginal[] = u"此檔案不是本補丁所需的原始檔案。\r\n仍要修補嗎?";
const char16_t PatchTextWrongSource[] = u"此檔案不是本補丁所需的原始檔案, 無法修補!";
const char16_t PatchTextNoRoom[] = u"磁碟空間不足!";
const char16_t PatchTextAvailable[] = u"可用: ";
const char16_t PatchTextDamagedPatch[] = u"補丁已損壞 (CRC-32 不符)。";
const char16_t PatchTextMalformedPatch[] = u"補丁格式錯誤。";
const char16_t PatchTextHeaderKept[] = u"已保留檔案的 512 位元組檔頭。";
const char16_t PatchTextNoHeader[] = u"檔案沒有 512 位元組檔頭, 已照此修補。";
const char16_t PatchTextHeaderRefused[] = u"此補丁會寫入檔案所沒有的檔頭, 無法修補!";
const char16_t PatchTextWrongResult[] = u"修補結果與預期不符 (CRC-32)!";
