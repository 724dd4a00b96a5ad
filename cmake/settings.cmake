# One interface target carries the warning and sanitizer flags; every target links it.
# (The Windows build's one resource script, src/wholefile/windows/programs.rc, takes none of the
# compiler's flags.)
add_library(bipafs_settings INTERFACE)
target_compile_options(bipafs_settings INTERFACE
                       "$<$<COMPILE_LANGUAGE:CXX>:-Wall;-Wextra;-Wpedantic;-Wshadow>")
if(BIPAFS_WERROR)
  target_compile_options(bipafs_settings INTERFACE $<$<COMPILE_LANGUAGE:CXX>:-Werror>)
endif()
# File sizes and offsets are 64-bit on every system: on a 32-bit glibc this makes off_t,
# stat() and mmap() take files of 2 GiB and more (64-bit systems, macOS and the BSDs have them
# so already and ignore it).
target_compile_definitions(bipafs_settings INTERFACE _FILE_OFFSET_BITS=64)
# mingw-w64's C99 printf family (%zu, %llu) in place of the Windows C library's own.
if(WIN32)
  target_compile_definitions(bipafs_settings INTERFACE __USE_MINGW_ANSI_STDIO=1)
endif()
if(BIPAFS_FALLBACKS)
  target_compile_definitions(bipafs_settings INTERFACE BIPAFS_FALLBACKS)
endif()
if(BIPAFS_SANITIZE)
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_compile_options(bipafs_settings INTERFACE ${_san})
  target_link_options(bipafs_settings INTERFACE ${_san})
endif()

# The programs' own sources also keep clear of implicit narrowing and sign changes, C-style
# casts, casts that drop const and unchecked format strings. Tests, benchmarks and fuzz
# targets do not link this: they mix in library headers and test macros that these
# warnings would flag.
add_library(bipafs_strict INTERFACE)
target_compile_options(bipafs_strict INTERFACE
                       "$<$<COMPILE_LANGUAGE:CXX>:-Wconversion;-Wsign-conversion;-Wold-style-cast>"
                       "$<$<COMPILE_LANGUAGE:CXX>:-Wnull-dereference;-Wformat=2;-Wcast-qual>")
target_link_libraries(bipafs_strict INTERFACE bipafs_settings)
