// What a patch run tells its user, as UTF-16 literals. The program converts
// them into the thread's ANSI code page for its message boxes; the publisher
// tool prints them as UTF-8. One set of texts, so both say the same.
//
// They stand one after another in one literal, each ended by NUL, in the
// order of PatchTextId: the program converts them all at start, walking
// the literal (no pointer, and no relocation, for each in the downloaded
// program); the tool takes one at a time with PatchText.
#pragma once
#include <stdint.h>

enum PatchTextId : uint8_t {
    PatchTextDone,          // "完成! 總用時:" then the milliseconds
    PatchTextMs,            // " ms"
    PatchTextError,         // "程序錯誤!": not a (complete) IPS patch
    PatchTextWriteFailed,   // "寫入失敗!"
    PatchTextBackupFailed,  // "備份失敗!"
    PatchTextAlreadyPatched,  // "此檔案已經修補過了!"
    // "此檔案不是本補丁所需的原始檔案。" CR LF "仍要修補嗎?": the program's Yes/No question
    PatchTextNotOriginal,
    // After 寫入失敗! when the target could not be put back as it was.
    PatchTextMayBeDamaged,  // "檔案可能已損壞!"
    PatchTextBackupIn,      // "原檔備份: " then the backup's path
    // A BPS target that is neither the patch's source nor its result: the
    // refusal, then its size and CRC-32 against the patch's.
    PatchTextWrongSource,  // "此檔案不是本補丁所需的原始檔案, 無法修補!"
    PatchTextNoRoom,       // "磁碟空間不足!"
    PatchTextAvailable,    // "可用: " then a size
    // After 程序錯誤! for a BPS block: why it is refused.
    PatchTextDamagedPatch,    // "補丁已損壞 (CRC-32 不符)。"
    PatchTextMalformedPatch,  // "補丁格式錯誤。"
    // A patcher with variants: after 完成! when the file had a copier header
    // (kept) or lacked the one the variant's file has; the refusal of a patch
    // that writes into a header the file lacks; a result whose CRC-32 is not
    // the variant's.
    PatchTextHeaderKept,     // "已保留檔案的 512 位元組檔頭。"
    PatchTextNoHeader,       // "檔案沒有 512 位元組檔頭, 已照此修補。"
    PatchTextHeaderRefused,  // "此補丁會寫入檔案所沒有的檔頭, 無法修補!"
    PatchTextWrongResult,    // "修補結果與預期不符 (CRC-32)!"
    // Before the result when an interrupted run's journal put the target back.
    PatchTextInterrupted,  // "上次修補未完成, 檔案已還原。"
    PatchTextCount
};

// Every text, each ended by NUL, in the order of PatchTextId.
extern const char16_t PatchTexts[];
// One of them.
const char16_t* PatchText(PatchTextId id);
