# x86_64 Windows build of the same sources: the flavour the Windows tests run,
# under wine64 (32-bit PE programs cannot execute on the build machines).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TESSEL_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER /usr/bin/${TESSEL_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/${TESSEL_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER /usr/bin/${TESSEL_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TESSEL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The wrapper picks the wine prefix of this build tree (never ~/.wine).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
