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

// Made where it is used: a ByteString global would need a destructor at
// exit, which this program has no runtime for (see TextStore above).
ByteString NewLine() { return ByteString("\r\n"); }

// A size in decimal; sizes past 32 bits (only a target the patch cannot be
// for) are shown as their lower bound.
ByteString SizeText(uint64_t size) {
    if (size > 0xFFFFFFFFull) return ByteString("4294967296+");
    char digits[10];
    uint32_t n = 0, value = static_cast<uint32_t>(size);
    do {
        digits[9 - n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return ByteString(digits + 10 - n, n);
}

// "需要: 1048576 位元組, CRC-32 1A2B3C4D"
ByteString FactsLine(const ByteString& label, uint64_t size, uint32_t crc) {
    return label + SizeText(size) + msgBytes + ByteString(", CRC-32 ") + HexDigits(crc, 8);
}

// The BPS reasons shown under the result's first line.
ByteString BpsDetails(const PatchRunReport& report) {
    const BpsRunDetails& bps = report.bps;
    switch (report.result) {
    case PatchResultMalformed:
        return NewLine() + (bps.scan.problem == BpsProblemPatchCrc ? msgDamagedPatch : msgMalformedPatch);
    case PatchResultWrongSource:
        return NewLine() + FactsLine(msgExpected, bps.scan.header.sourceSize, bps.scan.header.sourceCrc) + NewLine() +
               FactsLine(msgFound, bps.foundSize, bps.foundCrc);
    case PatchResultNoRoom:
        return NewLine() + msgExpected + SizeText(bps.roomNeeded) + msgBytes + NewLine() + msgAvailable +
               SizeText(bps.roomFree) + msgBytes;
    default: return ByteString();
    }
}

// Variant i's label (UTF-8 in the patcher) in the thread's code page.
ByteString LabelText(uint32_t i) { return WideToAnsiText(Utf8ToWideText(VariantLabel(*carriedExtension, i))); }

// Each variant's source, a line each after a line break:
// "需要: Rev 1: 1048576 位元組, CRC-32 1A2B3C4D".
ByteString VariantLines() {
    ByteString lines;
    for (uint32_t i = 0; carriedExtension && i < carriedExtension->variantCount; ++i) {
        const PatchVariant& v = carriedExtension->variants[i];
        ByteString label(msgExpected);
        label.Append(LabelText(i));
        label.Append(": ");
        lines.Append("\r\n");
        lines.Append(FactsLine(label, v.facts.originalSize, v.facts.originalCrc));
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
    if (v.count < 2 || !v.matched || !carriedExtension) return msgDone;
    ByteString label(" (");
    label.Append(LabelText(v.chosen));
    label.Append(")");
    return InsertAt(msgDone, '!', true, label);
}

// What a patcher with variants adds under its first line.
ByteString VariantDetails(const PatchRunReport& report) {
    const VariantRunDetails& v = report.variant;
    if (!v.count) return ByteString();
    if (report.result == PatchResultDone && v.matched && v.header != HeaderAsMade)
        return NewLine() + (v.header == HeaderAdded ? msgHeaderKept : msgNoHeader);
    if (report.result == PatchResultWrongSource)
        return VariantLines() + NewLine() + FactsLine(msgFound, v.foundSize, v.foundCrc);
    return ByteString();
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
        ByteString text = FirstLine(report) + VariantDetails(report);
        if (report.result == PatchResultWrongResult && report.backupMade)
            text = text + NewLine() + msgBackupIn + BackupPathFor(targetPath);
        // A patcher with variants names them all for a wrong source.
        const bool bpsDetails =
            report.format == PatchFormatBps && !(report.variant.count && report.result == PatchResultWrongSource);
        return bpsDetails ? text + BpsDetails(report) : text;
    }
    // The one case where 寫入失敗! does not mean "nothing was changed".
    ByteString text = msgWriteFailed + NewLine() + msgMayBeDamaged;
    if (report.backupMade) text = text + NewLine() + msgBackupIn + BackupPathFor(targetPath);
    return text;
}
