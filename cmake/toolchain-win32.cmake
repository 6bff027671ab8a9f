# i686 Windows build: the product, and the i686 builds of the test programs.
# They run under 32-bit wine in the i386 root (scripts/test-win32.sh), where
# the kernel executes i386 code; wine-run refuses them outside it.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TESSEL_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
