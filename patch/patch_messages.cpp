#include "patch/patch_messages.h"

const char16_t PatchTexts[] =
    u"完成! 總用時:\0"
    u" ms\0"
    u"程序錯誤!\0"
    u"寫入失敗!\0"
    u"備份失敗!\0"
    u"此檔案已經修補過了!\0"
    u"此檔案不是本補丁所需的原始檔案。\r\n仍要修補嗎?\0"
    u"檔案可能已損壞!\0"
    u"原檔備份: \0"
    u"此檔案不是本補丁所需的原始檔案, 無法修補!\0"
    u"磁碟空間不足!\0"
    u"可用: \0"
    u"補丁已損壞 (CRC-32 不符)。\0"
    u"補丁格式錯誤。\0"
    u"已保留檔案的 512 位元組檔頭。\0"
    u"檔案沒有 512 位元組檔頭, 已照此修補。\0"
    u"此補丁會寫入檔案所沒有的檔頭, 無法修補!\0"
    u"修補結果與預期不符 (CRC-32)!\0"
    u"上次修補未完成, 檔案已還原。";

const char16_t* PatchText(PatchTextId id) {
    const char16_t* text = PatchTexts;
    for (uint32_t i = 0; i < id; ++i)
        while (*text++ != 0) {
        }
    return text;
}
