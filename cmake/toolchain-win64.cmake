# x86_64 Windows build of the same sources: the flavour the Windows tests run,
# under wine64 (32-bit PE programs cannot execute on the build machines).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TESSEL_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# The wrapper picks the wine prefix of this build tree (never ~/.wine).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
