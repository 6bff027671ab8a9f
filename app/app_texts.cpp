#include "app/app_texts.h"

#include <windows.h>

#include <new>
#include <string.h>

#include "app/carried_patch.h"
#include "platform/conversions.h"
#include "patch/backup_copy.h"
#include "patch/patch_container.h"
#include "patch/ips_patch.h"
#include "patch/patch_messages.h"
#include "patch/patch_run.h"
#include "platform/file_handle.h"

namespace {

// Each text in the program's two languages, in the order of the msg
// references below: the Chinese captions here and the run's texts shared
// with the tool (patch/patch_messages.h), the English ones (ASCII, so
// UTF-8 as they stand) in one literal; each ended by NUL, so they cost the
// downloaded program no pointer (and no relocation) each.
const char16_t kChineseCaptions[] = u"文件\0確定\0備份";
const uint32_t kCaptionCount = 3;
const char kEnglishTexts[] =
    "File\0"
    "OK\0"
    "Backup\0"
    "Done! Total time: \0"
    " ms\0"
    "Program error!\0"
    "Write failed!\0"
    "Backup failed!\0"
    "This file has already been patched!\0"
    "This file is not the original file this patch needs.\r\nPatch it anyway?\0"
    "The file may be damaged!\0"
    "Backup of the original: \0"
    "Not the original file this patch needs: it cannot be patched!\0"
    "Not enough disk space!\0"
    "Available: \0"
    "The patch is damaged (CRC-32 mismatch).\0"
    "The patch is malformed.\0"
    "The file's 512-byte header was kept.\0"
    "The file has no 512-byte header; patched accordingly.\0"
    "This patch writes into a header this file does not have; it cannot be patched!\0"
    "The patched file is not the expected result (CRC-32)!\0"
    "The last run was interrupted; the file was restored.\0"
    // The DetailText texts (below) follow the msg ones.
    "Expected: \0"
    "This file: \0"
    " bytes\0"
    "The file is open in another program: close it and try again.\0"
    "The file is read-only: clear Read-only in its Properties and try again.\0"
    "The disk is full: this needs \0"
    " KB of free space; make room and try again.\0"
    "Access is denied: copy the file to a folder of your own, or run the patcher as administrator.";
const uint32_t kTextCount = kCaptionCount + PatchTextCount;

// The parts of the wrong-file question and the advice after a failure's
// reason, used only here: the Chinese in one literal, the English at the
// end of kEnglishTexts, ended by NUL in the order of DetailText, so the downloaded program carries no
// pointer (and no relocation) for each.
enum DetailText : uint8_t {
    DetailExpected,      // "需要: " N " 位元組, CRC-32 " X
    DetailThisFile,      // "此檔案: " ...
    DetailBytes,
    DetailInUse,
    DetailReadOnly,
    DetailDiskFull,      // then the room needed in KiB and DetailKb
    DetailKb,
    DetailAccessDenied,
    DetailCount
};
const char16_t kDetailChinese[] =
    u"需要: \0"
    u"此檔案: \0"
    u" 位元組\0"
    u"檔案正被其他程式使用: 請關閉該程式後再試。\0"
    u"檔案為唯讀: 請在檔案「內容」中取消「唯讀」後再試。\0"
    u"磁碟空間不足: 本次需要 \0"
    u" KB 可用空間, 請清出空間後再試。\0"
    u"沒有寫入此檔案的權限: 請把它複製到自己的資料夾, 或以系統管理員身分執行。";

// The converted texts, never destroyed. A ByteString global would have its
// destructor registered with atexit, which the program, linked without the
// runtime's start-up code, does not have (app/main.cpp); the heap they hold
// goes with the process. The storage is zero-filled, constant-initialised
// (no start-up code, and the msg references below are bound at link time);
// the first LoadMessageTexts constructs the texts in it.
// One store for both lists (the DetailText texts after the msg ones): one
// object, so every index the compiler sees is inside it.
struct TextStore {
    alignas(ByteString) unsigned char bytes[kTextCount + DetailCount][sizeof(ByteString)];
    bool made;

    void Make() {
        if (made) return;
        for (auto& text : bytes) new (text) ByteString();
        made = true;
    }
    ByteString& operator[](uint32_t i) { return *reinterpret_cast<ByteString*>(bytes[i]); }
};

TextStore g_texts;

// A DetailText text. Reached through this one call, so the downloaded
// program carries one relocation for the store's address instead of one
// at each use (on i686 every absolute address in the code is one).
__attribute__((noinline, noclone)) const ByteString& Detail(DetailText which) { return g_texts[kTextCount + which]; }

#define TESSEL_TEXT_AT(i) (*reinterpret_cast<ByteString*>(g_texts.bytes[i]))

}  // namespace

ByteString& msgBrowse = TESSEL_TEXT_AT(0);
ByteString& msgOk = TESSEL_TEXT_AT(1);
ByteString& msgBackup = TESSEL_TEXT_AT(2);
ByteString& msgDone = TESSEL_TEXT_AT(3);
ByteString& msgMs = TESSEL_TEXT_AT(4);
ByteString& msgError = TESSEL_TEXT_AT(5);
ByteString& msgWriteFailed = TESSEL_TEXT_AT(6);
ByteString& msgBackupFailed = TESSEL_TEXT_AT(7);
ByteString& msgAlreadyPatched = TESSEL_TEXT_AT(8);
ByteString& msgNotOriginal = TESSEL_TEXT_AT(9);
ByteString& msgMayBeDamaged = TESSEL_TEXT_AT(10);
ByteString& msgBackupIn = TESSEL_TEXT_AT(11);
ByteString& msgWrongSource = TESSEL_TEXT_AT(12);
ByteString& msgNoRoom = TESSEL_TEXT_AT(13);
ByteString& msgAvailable = TESSEL_TEXT_AT(14);
ByteString& msgDamagedPatch = TESSEL_TEXT_AT(15);
ByteString& msgMalformedPatch = TESSEL_TEXT_AT(16);
ByteString& msgHeaderKept = TESSEL_TEXT_AT(17);
ByteString& msgNoHeader = TESSEL_TEXT_AT(18);
ByteString& msgHeaderRefused = TESSEL_TEXT_AT(19);
ByteString& msgWrongResult = TESSEL_TEXT_AT(20);
ByteString& msgInterrupted = TESSEL_TEXT_AT(21);

namespace {

// Chinese where the ANSI code page is a Chinese one (936, 950: the users
// the program was first written for), or where the user reads Windows
// itself in Chinese whatever the code page.
bool SpeakChinese() {
    const UINT codePage = GetACP();
    return codePage == 936 || codePage == 950 || PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_CHINESE;
}

}  // namespace

void LoadMessageTexts() {
    const bool chinese = SpeakChinese();
    g_texts.Make();
    // One pass over the three packed lists, each text ended by NUL: the
    // captions, the run's texts, then the DetailText ones.
    const char* english = kEnglishTexts;
    const char16_t* wide = kChineseCaptions;
    for (uint32_t i = 0; i < kTextCount + DetailCount; ++i) {
        if (i == kCaptionCount) wide = PatchTexts;
        if (i == kTextCount) wide = kDetailChinese;
        const uint32_t units = WideLength(wide);
        const uint32_t bytes = static_cast<uint32_t>(strlen(english));
        g_texts[i] = chinese ? WideToUtf8Text(wide, units) : ByteString(english, bytes);
        wide += units + 1;
        english += bytes + 1;
    }
}

namespace {

// Every piece of the BPS details goes through here: ByteString::Append is
// inline, and a copy of it at each of a dozen call sites costs the program
// more than the details themselves.
__attribute__((noinline)) void Put(ByteString& text, const char* bytes, uint32_t count) {
    text.Append(bytes, count);
}

// value in base 10 or 16 (upper-case), at least `width` digits.
void PutNumber(ByteString& text, uint32_t value, uint32_t base, uint32_t width) {
    char digits[10];
    uint32_t n = 0;
    do {
        const uint32_t digit = value % base;
        digits[9 - n++] = static_cast<char>(digit < 10 ? '0' + digit : 'A' - 10 + digit);
        value /= base;
    } while (value != 0 || n < width);
    Put(text, digits + 10 - n, n);
}

// Texts are built by appending: a chain of ByteString + would make (and
// free) one temporary per step, which costs the downloaded program more.
void AppendLine(ByteString* text, const ByteString& line) {
    text->Append("\r\n", 2);
    text->Append(line);
}

// 0 when the size cannot be had.
uint32_t TargetSizeAt(const ByteString& path) {
    FileHandle file = OpenFileHandle(path, OpenModeReadOnly);
    const uint32_t size = GetFileSizeHandle(file);
    CloseFileHandle(file);
    return size == InvalidFileSize ? 0 : size;
}

// label, then a size in decimal with its unit on a line of its own. Sizes
// past 32 bits (only a target the patch cannot be for) show as their lower
// bound.
void AppendSize(ByteString* text, const ByteString& label, uint64_t size) {
    AppendLine(text, label);
    PutNumber(*text, size > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(size), 10, 1);
    text->Append(Detail(DetailBytes));
}

// "1835008 位元組, CRC-32 8AD5B4E3" on a line of its own after label.
void AppendSizeAndCrc(ByteString* text, const ByteString& label, uint64_t size, uint32_t crc) {
    AppendSize(text, label, size);
    text->Append(", CRC-32 ", 9);
    PutNumber(*text, crc, 16, 8);
}

// Variant i's label: UTF-8 in the patcher, as every text here is.
void PutLabel(ByteString& text, uint32_t i) {
    const PatchVariant& v = carriedExtension->variants[i];
    Put(text, carriedExtension->variantBytes.CStr() + v.labelAt, v.labelSize);
}

// What the patch expects, a line each: every variant's source with its
// label ("需要: Rev 1: 1048576 位元組, CRC-32 1A2B3C4D"), or the original's.
void AppendExpected(ByteString* text, const TargetFacts* facts) {
    const PayloadExtension* extension = carriedExtension;
    const uint32_t count = extension ? extension->variantCount : 0;
    for (uint32_t i = 0; i < count || (i == 0 && facts); ++i) {
        ByteString label(Detail(DetailExpected));
        if (count) {
            PutLabel(label, i);
            Put(label, ": ", 2);
        }
        const TargetFacts& f = count ? extension->variants[i].facts : *facts;
        AppendSizeAndCrc(text, label, f.originalSize, f.originalCrc);
    }
}

// The BPS reasons shown under the result's first line: a refused patch, the
// source it needs beside the file found, the room it needs beside the room
// there is.
ByteString WithBpsDetails(const ByteString& result, const PatchRunReport& report) {
    ByteString text(result);
    const BpsRunDetails& bps = report.bps;
    const BpsHeader& h = bps.scan.header;
    if (report.result == PatchResultMalformed) {
        AppendLine(&text, bps.scan.problem == BpsProblemPatchCrc ? msgDamagedPatch : msgMalformedPatch);
    } else if (report.result == PatchResultWrongSource && report.variant.count) {
        // Refused by the variants' identification, before any route ran.
        AppendExpected(&text, nullptr);
        AppendSizeAndCrc(&text, Detail(DetailThisFile), report.variant.foundSize, report.variant.foundCrc);
    } else if (report.result == PatchResultWrongSource) {
        AppendSizeAndCrc(&text, Detail(DetailExpected), h.sourceSize, h.sourceCrc);
        AppendSizeAndCrc(&text, Detail(DetailThisFile), bps.foundSize, bps.foundCrc);
    } else if (report.result == PatchResultNoRoom) {
        AppendSize(&text, Detail(DetailExpected), bps.roomNeeded);
        AppendSize(&text, msgAvailable, bps.roomFree);
    }
    return text;
}

// The result, and under it why the system refused and what to do.
ByteString WithReason(const ByteString& result, const PatchRunReport& report, const ByteString& path,
                      uint32_t roomNeeded) {
    ByteString text(result);
    const ByteString reason = FailureReason(report.systemError, path, roomNeeded);
    if (!reason.Empty()) AppendLine(&text, reason);
    return text;
}

// "原檔備份: " and the backup's path on a line, when the run made one.
void AppendBackupIn(ByteString* text, const PatchRunReport& report, const ByteString& targetPath) {
    if (!report.backupMade) return;
    AppendLine(text, msgBackupIn);
    text->Append(BackupPathFor(targetPath));
}

ByteString ResultText(const PatchRunReport& report, const ByteString& targetPath) {
    ByteString text;
    switch (report.result) {
    case PatchResultDone: {
        // The three texts joined with nothing in between: "完成! 總用時:" 8 " ms";
        // a patcher with variants names the one it applied after the "!"
        // ("完成! (Rev 1) 總用時:") and says what became of a header.
        const VariantRunDetails& v = report.variant;
        uint32_t at = 0;
        if (v.count > 1 && v.matched)
            while (at < msgDone.Length() && msgDone[at++] != '!') {
            }
        Put(text, msgDone.CStr(), at);
        if (at) {
            Put(text, " (", 2);
            PutLabel(text, v.chosen);
            Put(text, ")", 1);
        }
        Put(text, msgDone.CStr() + at, msgDone.Length() - at);
        text.Append(DecimalDigits(static_cast<int32_t>(report.elapsedMs)));
        text.Append(msgMs);
        if (v.matched && v.header != HeaderAsMade) AppendLine(&text, v.header == HeaderAdded ? msgHeaderKept : msgNoHeader);
        return text;
    }
    case PatchResultHeaderRefused: return msgHeaderRefused;
    case PatchResultWrongResult:
        // The writes stay: the backup, when made, holds the file as it was.
        text = msgWrongResult;
        AppendBackupIn(&text, report, targetPath);
        return text;
    case PatchResultMalformed:
        return report.format == PatchFormatBps ? WithBpsDetails(msgError, report) : msgError;
    case PatchResultWrongSource: return WithBpsDetails(msgWrongSource, report);
    case PatchResultNoRoom: return WithBpsDetails(msgNoRoom, report);
    case PatchResultBackupFailed:
        return WithReason(msgBackupFailed, report, BackupPathFor(targetPath), TargetSizeAt(targetPath));
    case PatchResultWriteFailed: {
        // A full disk shows when the target grows: the growth is the room needed.
        const uint32_t size = TargetSizeAt(targetPath);
        const uint32_t after = report.format == PatchFormatIps ? ResultingTargetSize(report.ips.scan, size) : size;
        return WithReason(msgWriteFailed, report, targetPath, after > size ? after - size : 0);
    }
    case PatchResultAlreadyPatched: return msgAlreadyPatched;
    case PatchResultDeclined: return text;
    case PatchResultRestoreFailed: break;
    }
    // The one case where 寫入失敗! does not mean "nothing was changed".
    text = WithReason(msgWriteFailed, report, targetPath, 0);
    AppendLine(&text, msgMayBeDamaged);
    AppendBackupIn(&text, report, targetPath);
    return text;
}

}  // namespace

ByteString RunResultText(const PatchRunReport& report, const ByteString& targetPath) {
    const ByteString result = ResultText(report, targetPath);
    if (!report.interruptedRunRestored) return result;
    // Said first, whatever the run then did.
    ByteString text(msgInterrupted);
    AppendLine(&text, result);
    return text;
}

ByteString FailureReason(uint32_t code, const ByteString& path, uint32_t roomNeeded) {
    ByteString reason;
    if (code == 0) return reason;
    // The system's words; its number where it has none.
    reason = FileErrorText(code);
    if (reason.Empty()) reason = DecimalDigits(static_cast<int32_t>(code));
    DetailText advice = DetailCount;  // none
    switch (KindOfFileError(code, path)) {
    case FileErrorInUse: advice = DetailInUse; break;
    case FileErrorReadOnly: advice = DetailReadOnly; break;
    case FileErrorAccessDenied: advice = DetailAccessDenied; break;
    case FileErrorDiskFull:
        if (roomNeeded == 0) break;
        // Whole KiB, rounded up; a file is below 4 GiB, so no overflow.
        AppendLine(&reason, Detail(DetailDiskFull));
        reason.Append(DecimalDigits(static_cast<int32_t>(roomNeeded / 1024 + (roomNeeded % 1024 != 0))));
        advice = DetailKb;
        break;
    case FileErrorOther: break;
    }
    if (advice != DetailCount) {
        if (advice != DetailKb) reason.Append("\r\n", 2);
        reason.Append(Detail(advice));
    }
    return reason;
}

ByteString NotOriginalQuestion(const TargetFacts* facts, uint32_t size, uint32_t crc) {
    // msgNotOriginal is the statement and the question on two lines; the
    // facts go between them.
    uint32_t split = 0;
    while (split + 1 < msgNotOriginal.Length() && !(msgNotOriginal[split] == '\r' && msgNotOriginal[split + 1] == '\n'))
        ++split;
    ByteString text(msgNotOriginal.CStr(), split);
    AppendExpected(&text, facts);
    AppendSizeAndCrc(&text, Detail(DetailThisFile), size, crc);
    text.Append(msgNotOriginal.CStr() + split, msgNotOriginal.Length() - split);
    return text;
}
