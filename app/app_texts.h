// The program's user-visible texts. They are kept as UTF-16 literals and
// converted once, at start, into UTF-8, the form every text of the window
// layer takes (it hands them to Windows as UTF-16). The Chinese texts are
// taken where the ANSI code page holds them (936, 950) or the user's UI
// language is Chinese; elsewhere all of them are English, never a mix.
#pragma once
#include "base/byte_string.h"

struct PatchRunReport;
struct TargetFacts;

// The captions ("文件", "確定", "備份") and the patch run's messages (patch/patch_messages.h)
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
extern ByteString& msgNoRoom;
extern ByteString& msgAvailable;
extern ByteString& msgDamagedPatch;
extern ByteString& msgMalformedPatch;
// A patcher with variants: a header kept or missing, a patch refused for a
// header the file lacks, a result other than the variant's.
extern ByteString& msgHeaderKept;
extern ByteString& msgNoHeader;
extern ByteString& msgHeaderRefused;
extern ByteString& msgWrongResult;
// Before the result when an interrupted run's journal put the target back.
extern ByteString& msgInterrupted;

// Chinese when the thread's code page holds every Chinese text exactly,
// English otherwise.
void LoadMessageTexts();

// What the message box says at the end of a run; empty for a run the user
// declined (no box then).
ByteString RunResultText(const PatchRunReport& report, const ByteString& targetPath);

// The line a failure adds under 寫入失敗! / 備份失敗!: the system's words for
// the error code (FormatMessageW) and, for the usual causes, what the user
// can do. roomNeeded is the room the failed step needs on the disk (the
// backup's size, the target's growth), named for a full disk. Empty for no
// code.
ByteString FailureReason(uint32_t code, const ByteString& path, uint32_t roomNeeded);

// The wrong-file question: the question's first line, the size and CRC-32
// the patch expects (each variant's source, with its label, when the
// carried extension has variants; else facts), those of the chosen file,
// then "Patch it anyway?".
ByteString NotOriginalQuestion(const TargetFacts* facts, uint32_t size, uint32_t crc);
