# i686 Windows build: the product. It links and is inspected here, but cannot
# run on the build machines.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TESSEL_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
