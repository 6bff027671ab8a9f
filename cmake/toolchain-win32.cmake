# i686 Windows build: the product. It links and is inspected here, but cannot
# run on the build machines.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TESSEL_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER /usr/bin/${TESSEL_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/${TESSEL_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER /usr/bin/${TESSEL_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TESSEL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
