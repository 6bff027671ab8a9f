#include "app/app_texts.h"

#include <new>

#include "platform/conversions.h"
#include "patch/patch_messages.h"
#include "patch/patch_container.h"
#include "patch/patch_run.h"
#include "app/carried_patch.h"

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
    {PatchTextWrongSource, "This file is not the original file this patch needs; it cannot be patched!"},
    {PatchTextExpected, "Expected: "},
    {PatchTextFound, "Found: "},
    {PatchTextBytes, " bytes"},
    {PatchTextNoRoom, "Not enough disk space!"},
    {PatchTextAvailable, "Available: "},
    {PatchTextDamagedPatch, "The patch is damaged (its CRC-32 does not match)."},
    {PatchTextMalformedPatch, "The patch is malformed."},
    {PatchTextHeaderKept, "The file's 512-byte header was kept."},
    {PatchTextNoHeader, "The file has no 512-byte header; patched accordingly."},
    {PatchTextHeaderRefused, "This patch writes into a header this file does not have; it cannot be patched!"},
    {PatchTextWrongResult, "The patched file is not the expected result (CRC-32)!"},
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
ByteString& msgHeaderKept = g_texts[20];
ByteString& msgNoHeader = g_texts[21];
ByteString& msgHeaderRefused = g_texts[22];
ByteString& msgWrongResult = g_texts[23];

void LoadMessageTexts() {
    bool chinese = true;
    for (const TextPair& text : kTexts) chinese = chinese && AnsiCanHold(text.chinese);
    for (uint32_t i = 0; i < kTextCount; ++i)
        g_texts[i] = chinese ? WideToAnsiText(kTexts[i].chinese) : ByteString(kTexts[i].english);
}

namespace {

// A line break, a label, a size in decimal with its unit, and a CRC-32 in
// hexadecimal when one is given (withCrc). Sizes past 32 bits (only a target
// the patch cannot be for) are shown as their lower bound. Appended in place:
// each ByteString temporary would cost the program its own free().
void AppendFact(ByteString& text, const ByteString& label, uint64_t size, bool withCrc, uint32_t crc) {
    char digits[12];
    uint32_t n = 0, value = size > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
    do {
        digits[11 - n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    text.Append("\r\n", 2);
    text.Append(label);
    text.Append(digits + 12 - n, n);
    text.Append(msgBytes);
    if (!withCrc) return;
    text.Append(", CRC-32 ", 9);
    text.Append(HexDigits(crc, 8));
}

// The BPS reasons shown under the result's first line.
void AppendBpsDetails(ByteString& text, const PatchRunReport& report) {
    const BpsRunDetails& bps = report.bps;
    const BpsHeader& h = bps.scan.header;
    if (report.result == PatchResultMalformed) {
        text.Append("\r\n", 2);
        text.Append(bps.scan.problem == BpsProblemPatchCrc ? msgDamagedPatch : msgMalformedPatch);
    } else if (report.result == PatchResultWrongSource) {
        AppendFact(text, msgExpected, h.sourceSize, true, h.sourceCrc);
        AppendFact(text, msgFound, bps.foundSize, true, bps.foundCrc);
    } else if (report.result == PatchResultNoRoom) {
        AppendFact(text, msgExpected, bps.roomNeeded, false, 0);
        AppendFact(text, msgAvailable, bps.roomFree, false, 0);
    }
}

// Variant i's label (UTF-8 in the patcher) in the thread's code page.
ByteString LabelText(uint32_t i) {
    const PatchVariant& v = carriedExtension->variants[i];
    return WideToAnsiText(Utf8ToWideText(ByteString(carriedExtension->variantBytes.CStr() + v.labelAt, v.labelSize)));
}

// Each variant's source, a line each after a line break:
// "需要: Rev 1: 1048576 位元組, CRC-32 1A2B3C4D".
ByteString VariantLines() {
    ByteString lines;
    for (uint32_t i = 0; carriedExtension && i < carriedExtension->variantCount; ++i) {
        const PatchVariant& v = carriedExtension->variants[i];
        ByteString label(msgExpected);
        label.Append(LabelText(i));
        label.Append(": ", 2);
        AppendFact(lines, label, v.facts.originalSize, true, v.facts.originalCrc);
    }
    return lines;
}

// text with insert placed at its first `mark`, before or after it (at the
// end when the text has none). mark is ASCII: never part of a GBK or Big5
// character.
ByteString InsertAt(const ByteString& text, char mark, bool after, const ByteString& insert) {
    uint32_t at = 0;
    while (at < text.Length() && text[at] != mark) ++at;
    if (after && at < text.Length()) ++at;
    ByteString out(text.CStr(), at);
    out.Append(insert);
    out.Append(text.CStr() + at, text.Length() - at);
    return out;
}

// "完成! 總用時:", with the variant's label after the "!" when the patcher
// has more than one: "完成! (Rev 1) 總用時:".
ByteString DoneText(const PatchRunReport& report) {
    const VariantRunDetails& v = report.variant;
    if (v.count < 2 || !v.matched) return msgDone;
    ByteString label(" (");
    label.Append(LabelText(v.chosen));
    label.Append(")", 1);
    return InsertAt(msgDone, '!', true, label);
}

// What a patcher with variants adds under its first line.
void AppendVariantDetails(ByteString& text, const PatchRunReport& report) {
    const VariantRunDetails& v = report.variant;
    if (!v.count) return;
    if (report.result == PatchResultDone && v.matched && v.header != HeaderAsMade) {
        text.Append("\r\n", 2);
        text.Append(v.header == HeaderAdded ? msgHeaderKept : msgNoHeader);
    } else if (report.result == PatchResultWrongSource) {
        text.Append(VariantLines());
        AppendFact(text, msgFound, v.foundSize, true, v.foundCrc);
    }
}

ByteString FirstLine(const PatchRunReport& report) {
    switch (report.result) {
    case PatchResultDone:
        // The three texts joined with nothing in between: "完成! 總用時:" 8 " ms".
        return DoneText(report) + DecimalDigits(static_cast<int32_t>(report.elapsedMs)) + msgMs;
    case PatchResultHeaderRefused: return msgHeaderRefused;
    case PatchResultWrongResult: return msgWrongResult;
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

ByteString UnknownTargetQuestion() {
    // The variants go between the statement and the question.
    return InsertAt(msgNotOriginal, '\r', false, VariantLines());
}

ByteString RunResultText(const PatchRunReport& report, const ByteString& targetPath) {
    if (report.result != PatchResultRestoreFailed) {
        ByteString text = FirstLine(report);
        AppendVariantDetails(text, report);
        if (report.result == PatchResultWrongResult && report.backupMade) {
            text.Append("\r\n", 2);
            text.Append(msgBackupIn);
            text.Append(BackupPathFor(targetPath));
        }
        // A patcher with variants names them all for a wrong source.
        if (report.format == PatchFormatBps && !(report.variant.count && report.result == PatchResultWrongSource))
            AppendBpsDetails(text, report);
        return text;
    }
    // The one case where 寫入失敗! does not mean "nothing was changed".
    ByteString text = msgWriteFailed + ByteString("\r\n") + msgMayBeDamaged;
    if (report.backupMade) text = text + ByteString("\r\n") + msgBackupIn + BackupPathFor(targetPath);
    return text;
}
