// The source is UTF-8 and so is the execution character set of both
// compilers (gcc and clang default to it), so these literals are UTF-8 bytes.
#include "tools/tessel_pack/messages.h"

const char kMsgDone[] = "完成! 總用時:";
const char kMsgMs[] = " ms";
const char kMsgError[] = "程序錯誤!";
const char kMsgWriteFailed[] = "寫入失敗!";
const char kMsgBackupFailed[] = "備份失敗!";
