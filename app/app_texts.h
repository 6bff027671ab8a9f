// The program's user-visible texts. They are kept as UTF-16 literals and
// converted once, at start, into the ANSI code page of the thread's locale
// (WideToAnsiText), because every text the window layer handles is a byte
// string in that code page. Where that code page cannot hold the Chinese
// texts (a Western or Japanese Windows would show "??"), all of them are
// taken in English instead, never a mix.
#pragma once
#include "base/byte_string.h"

struct PatchRunReport;

// Captions.
extern const char16_t TextFormCaption[];    // "Tessel"
extern const char16_t TextBrowseCaption[];  // "文件"
extern const char16_t TextOkCaption[];      // "確定"
extern const char16_t TextBackupCaption[];  // "備份"

// The captions and the patch run's messages (patch/patch_messages.h)
// converted, set by LoadMessageTexts and empty before. They are never
// destroyed: their heap goes with the process (app/app_texts.cpp).
extern ByteString& msgBrowse;
extern ByteString& msgOk;
extern ByteString& msgBackup;
extern ByteString& msgDone;
extern ByteString& msgMs;
extern ByteString& msgError;
extern ByteString& msgWriteFailed;
extern ByteString& msgBackupFailed;
extern ByteString& msgAlreadyPatched;
extern ByteString& msgNotOriginal;  // the Yes/No question for a target the patch was not made for
extern ByteString& msgMayBeDamaged;
extern ByteString& msgBackupIn;
// A BPS run's reasons: a wrong source's facts, missing room, a refused patch.
extern ByteString& msgWrongSource;
extern ByteString& msgExpected;
extern ByteString& msgFound;
extern ByteString& msgBytes;
extern ByteString& msgNoRoom;
extern ByteString& msgAvailable;
extern ByteString& msgDamagedPatch;
extern ByteString& msgMalformedPatch;
// A patcher with variants: a header kept or missing, a patch refused for a
// header the file lacks, a result that is not the variant's.
extern ByteString& msgHeaderKept;
extern ByteString& msgNoHeader;
extern ByteString& msgHeaderRefused;
extern ByteString& msgWrongResult;

// Chinese when the thread's code page holds every Chinese text exactly,
// English otherwise.
void LoadMessageTexts();

// The question for a target the patch was not made for; a patcher with
// variants names each one's source (label, size, CRC-32) before it asks.
ByteString UnknownTargetQuestion();

// What the message box says at the end of a run; empty for a run the user
// declined (no box then).
ByteString RunResultText(const PatchRunReport& report, const ByteString& targetPath);
