# Shared by both Windows toolchain files; TESSEL_TRIPLE names the target.
# The -posix drivers are required: GoogleTest needs std::mutex, which the
# win32 thread-model drivers do not provide.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER /usr/bin/${TESSEL_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/${TESSEL_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER /usr/bin/${TESSEL_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TESSEL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
