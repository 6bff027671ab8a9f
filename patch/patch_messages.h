// What a patch run tells its user, as UTF-16 literals. The program converts
// them into the thread's ANSI code page for its message boxes; the publisher
// tool prints them as UTF-8. One set of texts, so both say the same.
#pragma once

extern const char16_t PatchTextDone[];          // "完成! 總用時:" then the milliseconds
extern const char16_t PatchTextMs[];            // " ms"
extern const char16_t PatchTextError[];         // "程序錯誤!": not a (complete) IPS patch
extern const char16_t PatchTextWriteFailed[];   // "寫入失敗!"
extern const char16_t PatchTextBackupFailed[];  // "備份失敗!"
// After 寫入失敗! when the target could not be put back as it was.
extern const char16_t PatchTextMayBeDamaged[];  // "檔案可能已損壞!"
extern const char16_t PatchTextBackupIn[];      // "原檔備份: " then the backup's path
extern const char16_t PatchTextAlreadyPatched[];  // "此檔案已經修補過了!"
// "此檔案不是本補丁所需的原始檔案。" CR LF "仍要修補嗎?": the program's Yes/No question
extern const char16_t PatchTextNotOriginal[];
// A BPS target that is neither the patch's source nor its result: the
// refusal, then its size and CRC-32 against the patch's.
extern const char16_t PatchTextWrongSource[];  // "此檔案不是本補丁所需的原始檔案, 無法修補!"
extern const char16_t PatchTextNoRoom[];       // "磁碟空間不足!"
extern const char16_t PatchTextAvailable[];    // "可用: " then a size
// After 程序錯誤! for a BPS block: why it is refused.
extern const char16_t PatchTextDamagedPatch[];    // "補丁已損壞 (CRC-32 不符)。"
extern const char16_t PatchTextMalformedPatch[];  // "補丁格式錯誤。"
// A patcher with variants: after 完成! when the file had a copier header
// (kept) or lacked the one the variant's file has; the refusal of a patch
// that writes into a header the file lacks; a result whose CRC-32 is not
// the variant's.
extern const char16_t PatchTextHeaderKept[];     // "已保留檔案的 512 位元組檔頭。"
extern const char16_t PatchTextNoHeader[];       // "檔案沒有 512 位元組檔頭, 已照此修補。"
extern const char16_t PatchTextHeaderRefused[];  // "此補丁會寫入檔案所沒有的檔頭, 無法修補!"
extern const char16_t PatchTextWrongResult[];    // "修補結果與預期不符 (CRC-32)!"
