# The Windows build (x86-64), cross-compiled with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix):
# the compiler of the POSIX thread model, whose C++ runtime the programs carry inside them
# (linked with -static), so that each .exe needs nothing but Windows's own libraries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(BIPAFS_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER ${BIPAFS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${BIPAFS_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${BIPAFS_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
