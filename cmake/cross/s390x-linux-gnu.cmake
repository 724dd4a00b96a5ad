# Debian's s390x cross compiler (crossbuild-essential-s390x): a 64-bit, big-endian build.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(BIPAFS_CROSS_TRIPLE s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
