#include "app/app_texts.h"

#include <new>

#include "platform/conversions.h"
#include "patch/patch_messages.h"
#include "patch/patch_run.h"

const char16_t TextFormCaption[] = u"Tessel";
const char16_t TextBrowseCaption[] = u"文件";
const char16_t TextOkCaption[] = u"確定";
const char16_t TextBackupCaption[] = u"備份";

namespace {

// Each text in the program's two languages, in the order of the msg
// references below. The English ones are ASCII, which every ANSI code page
// holds as it is.
struct TextPair {
    const char16_t* chinese;
    const char* english;
};

const TextPair kTexts[] = {
    {TextBrowseCaption, "File"},
    {TextOkCaption, "OK"},
    {TextBackupCaption, "Backup"},
    {PatchTextDone, "Done! Total time: "},
    {PatchTextMs, " ms"},
    {PatchTextError, "Program error!"},
    {PatchTextWriteFailed, "Write failed!"},
    {PatchTextBackupFailed, "Backup failed!"},
    {PatchTextAlreadyPatched, "This file has already been patched!"},
    {PatchTextNotOriginal, "This file is not the original file this patch needs.\r\nPatch it anyway?"},
    {PatchTextMayBeDamaged, "The file may be damaged!"},
    {PatchTextBackupIn, "Backup of the original: "},
    {PatchTextWrongSource, "Not the original file this patch needs: it cannot be patched!"},
    {PatchTextExpected, "Expected: "},
    {PatchTextFound, "Found: "},
    {PatchTextBytes, " bytes"},
    {PatchTextNoRoom, "Not enough disk space!"},
    {PatchTextAvailable, "Available: "},
    {PatchTextDamagedPatch, "The patch is damaged (CRC-32 mismatch)."},
    {PatchTextMalformedPatch, "The patch is malformed."},
};
const uint32_t kTextCount = sizeof kTexts / sizeof kTexts[0];

// The converted texts, made empty at start-up and never destroyed. A
// ByteString global would have its destructor registered with atexit, which
// the program, linked without the runtime's start-up code, does not have
// (app/main.cpp); the heap they hold goes with the process.
struct TextStore {
    alignas(ByteString) unsigned char bytes[kTextCount][sizeof(ByteString)];

    TextStore() {
        for (auto& text : bytes) new (text) ByteString();
    }
    ByteString& operator[](uint32_t i) { return *reinterpret_cast<ByteString*>(bytes[i]); }
};

TextStore g_texts;

}  // namespace

ByteString& msgBrowse = g_texts[0];
ByteString& msgOk = g_texts[1];
ByteString& msgBackup = g_texts[2];
ByteString& msgDone = g_texts[3];
ByteString& msgMs = g_texts[4];
ByteString& msgError = g_texts[5];
ByteString& msgWriteFailed = g_texts[6];
ByteString& msgBackupFailed = g_texts[7];
ByteString& msgAlreadyPatched = g_texts[8];
ByteString& msgNotOriginal = g_texts[9];
ByteString& msgMayBeDamaged = g_texts[10];
ByteString& msgBackupIn = g_texts[11];
ByteString& msgWrongSource = g_texts[12];
ByteString& msgExpected = g_texts[13];
ByteString& msgFound = g_texts[14];
ByteString& msgBytes = g_texts[15];
ByteString& msgNoRoom = g_texts[16];
ByteString& msgAvailable = g_texts[17];
ByteString& msgDamagedPatch = g_texts[18];
ByteString& msgMalformedPatch = g_texts[19];

void LoadMessageTexts() {
    bool chinese = true;
    for (const TextPair& text : kTexts) chinese = chinese && AnsiCanHold(text.chinese);
    for (uint32_t i = 0; i < kTextCount; ++i)
        g_texts[i] = chinese ? WideToAnsiText(kTexts[i].chinese) : ByteString(kTexts[i].english);
}

namespace {

// Every piece of the BPS details goes through here: ByteString::Append is
// inline, and a copy of it at each of a dozen call sites costs the program
// more than the details themselves.
__attribute__((noinline)) void Put(ByteString& text, const char* bytes, uint32_t count) {
    text.Append(bytes, count);
}
void Put(ByteString& text, const ByteString& piece) { Put(text, piece.CStr(), piece.Length()); }

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

// A line break, a label, a size in decimal with its unit, and a CRC-32 in
// hexadecimal when one is given. Sizes past 32 bits (only a target the patch
// cannot be for) are shown as their lower bound.
void PutFact(ByteString& text, const ByteString& label, uint64_t size, const uint32_t* crc) {
    Put(text, "\r\n", 2);
    Put(text, label);
    PutNumber(text, size > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(size), 10, 1);
    Put(text, msgBytes);
    if (!crc) return;
    Put(text, ", CRC-32 ", 9);
    PutNumber(text, *crc, 16, 8);
}

// The BPS reasons shown under the result's first line.
void PutBpsDetails(ByteString& text, const PatchRunReport& report) {
    const BpsRunDetails& bps = report.bps;
    const BpsHeader& h = bps.scan.header;
    if (report.result == PatchResultMalformed) {
        Put(text, "\r\n", 2);
        Put(text, bps.scan.problem == BpsProblemPatchCrc ? msgDamagedPatch : msgMalformedPatch);
    } else if (report.result == PatchResultWrongSource) {
        PutFact(text, msgExpected, h.sourceSize, &h.sourceCrc);
        PutFact(text, msgFound, bps.foundSize, &bps.foundCrc);
    } else if (report.result == PatchResultNoRoom) {
        PutFact(text, msgExpected, bps.roomNeeded, nullptr);
        PutFact(text, msgAvailable, bps.roomFree, nullptr);
    }
}

ByteString FirstLine(const PatchRunReport& report) {
    switch (report.result) {
    case PatchResultDone:
        // The three texts joined with nothing in between: "完成! 總用時:" 8 " ms".
        return msgDone + DecimalDigits(static_cast<int32_t>(report.elapsedMs)) + msgMs;
    case PatchResultMalformed: return msgError;
    case PatchResultBackupFailed: return msgBackupFailed;
    case PatchResultWriteFailed: return msgWriteFailed;
    case PatchResultAlreadyPatched: return msgAlreadyPatched;
    case PatchResultWrongSource: return msgWrongSource;
    case PatchResultNoRoom: return msgNoRoom;
    case PatchResultDeclined:
    case PatchResultRestoreFailed: break;
    }
    return ByteString();
}

}  // namespace

ByteString RunResultText(const PatchRunReport& report, const ByteString& targetPath) {
    if (report.result != PatchResultRestoreFailed) {
        ByteString text = FirstLine(report);
        if (report.format == PatchFormatBps) PutBpsDetails(text, report);
        return text;
    }
    // The one case where 寫入失敗! does not mean "nothing was changed".
    ByteString text = msgWriteFailed + ByteString("\r\n") + msgMayBeDamaged;
    if (report.backupMade) text = text + ByteString("\r\n") + msgBackupIn + BackupPathFor(targetPath);
    return text;
}
