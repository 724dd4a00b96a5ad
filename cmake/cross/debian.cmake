# What the cross toolchain files share: Debian installs a cross compiler as TRIPLE-g++ and its
# libraries under /usr/TRIPLE, which is also where qemu-user looks for them (-L /usr/TRIPLE).
set(CMAKE_CXX_COMPILER ${BIPAFS_CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${BIPAFS_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
