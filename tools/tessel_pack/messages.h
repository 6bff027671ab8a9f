// The program's own message texts in UTF-8: the patch run is the same code
// as the program's, and the tool prints what the program's message box
// would say.
#pragma once

extern const char kMsgDone[];          // "完成! 總用時:"
extern const char kMsgMs[];            // " ms"
extern const char kMsgError[];         // "程序錯誤!"
extern const char kMsgWriteFailed[];   // "寫入失敗!"
extern const char kMsgBackupFailed[];  // "備份失敗!"
