#include "app/app_texts.h"

#include "platform/conversions.h"
#include "patch/patch_messages.h"
#include "patch/patch_run.h"

const char16_t TextFormCaption[] = u"Tessel";
const char16_t TextBrowseCaption[] = u"文件";
const char16_t TextOkCaption[] = u"確定";
const char16_t TextBackupCaption[] = u"備份";

ByteString msgBrowse;
ByteString msgOk;
ByteString msgBackup;
ByteString msgDone;
ByteString msgMs;
ByteString msgError;
ByteString msgWriteFailed;
ByteString msgBackupFailed;
ByteString msgAlreadyPatched;
ByteString msgNotOriginal;
ByteString msgMayBeDamaged;
ByteString msgBackupIn;

namespace {

// Each text in the program's two languages and where it goes. The English
// ones are ASCII, which every ANSI code page holds as it is.
struct TextPair {
    const char16_t* chinese;
    const char* english;
    ByteString* loaded;
};

const TextPair kTexts[] = {
    {TextBrowseCaption, "File", &msgBrowse},
    {TextOkCaption, "OK", &msgOk},
    {TextBackupCaption, "Backup", &msgBackup},
    {PatchTextDone, "Done! Total time: ", &msgDone},
    {PatchTextMs, " ms", &msgMs},
    {PatchTextError, "Program error!", &msgError},
    {PatchTextWriteFailed, "Write failed!", &msgWriteFailed},
    {PatchTextBackupFailed, "Backup failed!", &msgBackupFailed},
    {PatchTextAlreadyPatched, "This file has already been patched!", &msgAlreadyPatched},
    {PatchTextNotOriginal, "This file is not the original file this patch needs.\r\nPatch it anyway?",
     &msgNotOriginal},
    {PatchTextMayBeDamaged, "The file may be damaged!", &msgMayBeDamaged},
    {PatchTextBackupIn, "Backup of the original: ", &msgBackupIn},
};

}  // namespace

void LoadMessageTexts() {
    bool chinese = true;
    for (const TextPair& text : kTexts) chinese = chinese && AnsiCanHold(text.chinese);
    for (const TextPair& text : kTexts)
        *text.loaded = chinese ? WideToAnsiText(text.chinese) : ByteString(text.english);
}

ByteString RunResultText(const PatchRunReport& report, const ByteString& targetPath) {
    switch (report.result) {
    case PatchResultDone:
        // The three texts joined with nothing in between: "完成! 總用時:" 8 " ms".
        return msgDone + DecimalDigits(static_cast<int32_t>(report.elapsedMs)) + msgMs;
    case PatchResultMalformed: return msgError;
    case PatchResultBackupFailed: return msgBackupFailed;
    case PatchResultWriteFailed: return msgWriteFailed;
    case PatchResultAlreadyPatched: return msgAlreadyPatched;
    case PatchResultDeclined: return ByteString();
    case PatchResultRestoreFailed: break;
    }
    // The one case where 寫入失敗! does not mean "nothing was changed".
    ByteString text = msgWriteFailed + ByteString("\r\n") + msgMayBeDamaged;
    if (report.backupMade) text = text + ByteString("\r\n") + msgBackupIn + BackupPathFor(targetPath);
    return text;
}
