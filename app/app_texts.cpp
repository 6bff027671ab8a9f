#include "app/app_texts.h"

#include "platform/conversions.h"
#include "patch/patch_messages.h"
#include "patch/patch_run.h"

const char16_t TextFormCaption[] = u"Tessel";
const char16_t TextBrowseCaption[] = u"文件";
const char16_t TextOkCaption[] = u"確定";
const char16_t TextBackupCaption[] = u"備份";

ByteString msgDone;
ByteString msgMs;
ByteString msgError;
ByteString msgWriteFailed;
ByteString msgBackupFailed;
ByteString msgMayBeDamaged;
ByteString msgBackupIn;

void LoadMessageTexts() {
    msgDone = WideToAnsiText(PatchTextDone);
    msgError = WideToAnsiText(PatchTextError);
    msgMs = WideToAnsiText(PatchTextMs);
    msgWriteFailed = WideToAnsiText(PatchTextWriteFailed);
    msgBackupFailed = WideToAnsiText(PatchTextBackupFailed);
    msgMayBeDamaged = WideToAnsiText(PatchTextMayBeDamaged);
    msgBackupIn = WideToAnsiText(PatchTextBackupIn);
}

ByteString RunResultText(const PatchRunReport& report, const ByteString& targetPath) {
    switch (report.result) {
    case PatchResultDone:
        // The three texts joined with nothing in between: "完成! 總用時:" 8 " ms".
        return msgDone + DecimalDigits(static_cast<int32_t>(report.elapsedMs)) + msgMs;
    case PatchResultMalformed: return msgError;
    case PatchResultBackupFailed: return msgBackupFailed;
    case PatchResultWriteFailed: return msgWriteFailed;
    case PatchResultRestoreFailed: break;
    }
    // The one case where 寫入失敗! does not mean "nothing was changed".
    ByteString text = msgWriteFailed + ByteString("\r\n") + msgMayBeDamaged;
    if (report.backupMade) text = text + ByteString("\r\n") + msgBackupIn + BackupPathFor(targetPath);
    return text;
}
