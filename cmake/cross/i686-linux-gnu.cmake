# Debian's i386 cross compiler (crossbuild-essential-i386): a 32-bit, little-endian build.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(BIPAFS_CROSS_TRIPLE i686-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
