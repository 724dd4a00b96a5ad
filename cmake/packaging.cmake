# Installation of the manual pages, the documents and the Debian package.
#
# The programs install themselves into bin/ from their own directories; this file adds
# bipafs-list (a one-line wrapper of `bipafs list`) beside them, the manual pages to
# share/man/man1, the README (the job, and the mistakes to avoid, which the pages point to),
# the licence and the Debian changelog to share/doc/bipafs, and sets up CPack so that
# `cpack -G DEB` in a build directory makes one Debian package holding them all. The pages,
# the README and the changelog are compressed at build time when gzip is at hand, as Debian
# installs them.
#
# `cmake --install` and cpack copy what the build made and build nothing. After a build of
# some targets only (examples/demo.sh once built the programs alone), an install copied the
# programs and then stopped at the first page that was never compressed, leaving programs
# without pages. So the first install step, before any file is copied, checks that every file
# the install copies from the build is there, and refuses the whole install otherwise; the
# top-level CMakeLists.txt includes this file before the programs' directories for that.
include(GNUInstallDirs)

# On Windows the package is one zip: the four programs, README.md and LICENSE, side by side
# in one directory; nothing else of what follows applies there.
if(WIN32)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE
          DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME bipafs)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_FILE_NAME bipafs-${PROJECT_VERSION}-windows-x86_64)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
  return()
endif()

set(BIPAFS_MAN_PAGES crunchet.1 uncrunchet.1 swapfold.1 bipafs.1 bipafs-list.1)
set(BIPAFS_INSTALLED_PROGRAMS crunchet uncrunchet swapfold bipafs)

set(BIPAFS_MAINTAINER "bipafs maintainers <maintainers@bipafs.example>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")
# The Debian changelog (share/doc/bipafs/changelog.gz: the package's version has no Debian
# revision, so it is a native package's changelog).
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/changelog.in
               ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog @ONLY)

# What the build makes for the install: the pages, the README and the changelog, compressed
# as Debian installs them where gzip is at hand, otherwise taken as they are.
find_program(BIPAFS_GZIP gzip)
set(_man_files)
if(BIPAFS_GZIP)
  foreach(page IN LISTS BIPAFS_MAN_PAGES)
    set(_source ${CMAKE_CURRENT_SOURCE_DIR}/docs/man/${page})
    set(_compressed ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz)
    # -n keeps the name and time stamp out of the archive, so the package is reproducible;
    # -f replaces a copy left by an earlier run.
    add_custom_command(
      OUTPUT ${_compressed}
      COMMAND ${CMAKE_COMMAND} -E copy ${_source} ${CMAKE_CURRENT_BINARY_DIR}/man/${page}
      COMMAND ${BIPAFS_GZIP} -9nf ${CMAKE_CURRENT_BINARY_DIR}/man/${page}
      DEPENDS ${_source}
      COMMENT "Compressing manual page ${page}"
      VERBATIM)
    list(APPEND _man_files ${_compressed})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${_man_files})
  set(_changelog ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz)
  add_custom_command(
    OUTPUT ${_changelog}
    COMMAND ${BIPAFS_GZIP} -9nkf ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog
    COMMENT "Compressing the Debian changelog"
    VERBATIM)
  add_custom_target(debian_changelog ALL DEPENDS ${_changelog})
  set(_readme ${CMAKE_CURRENT_BINARY_DIR}/doc/README.md.gz)
  add_custom_command(
    OUTPUT ${_readme}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/README.md
            ${CMAKE_CURRENT_BINARY_DIR}/doc/README.md
    COMMAND ${BIPAFS_GZIP} -9nf ${CMAKE_CURRENT_BINARY_DIR}/doc/README.md
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/README.md
    COMMENT "Compressing the README"
    VERBATIM)
  add_custom_target(readme ALL DEPENDS ${_readme})
  set(_built ${_man_files} ${_changelog} ${_readme})
else()
  list(TRANSFORM BIPAFS_MAN_PAGES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/docs/man/
       OUTPUT_VARIABLE _man_files)
  set(_changelog ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog)
  set(_readme ${CMAKE_CURRENT_SOURCE_DIR}/README.md)
  set(_built)
endif()
foreach(program IN LISTS BIPAFS_INSTALLED_PROGRAMS)
  list(APPEND _built $<TARGET_FILE:${program}>)
endforeach()

# The first install step: every file above is there, or nothing is installed.
install(CODE "
  foreach(file IN ITEMS ${_built})
    if(NOT EXISTS \"\${file}\")
      message(FATAL_ERROR \"the build in ${CMAKE_BINARY_DIR} is not complete: \${file} is \"
                          \"missing; nothing was installed. Build it whole first: \"
                          \"cmake --build ${CMAKE_BINARY_DIR}\")
    endif()
  endforeach()")

install(PROGRAMS ${CMAKE_CURRENT_SOURCE_DIR}/scripts/bipafs-list DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${_man_files} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The licence, where Debian looks for a package's copyright: share/doc/<package>/copyright.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR}
        RENAME copyright)
install(FILES ${_changelog} ${_readme} DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bipafs)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${BIPAFS_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Debian wants each line of the long description within 80 columns, and none beginning with
# a dot, which it would read as a control statement.
set(CPACK_PACKAGE_DESCRIPTION
    "bipafs unpacks an AFS archive into files, restoring the .bip containers\n\
among its entries, and packs it again with the files that changed, each\n\
changed container compressed again. crunchet compresses one file into a\n\
container (a size header and an LZSS stream), uncrunchet restores the file\n\
a .bip container holds, and swapfold checks an AFS archive, extracts its\n\
entries and rebuilds it on 2048-byte boundaries with entries replaced by\n\
same-named files from a directory.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY ${CPACK_PACKAGE_NAME})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# dpkg-shlibdeps (from dpkg-dev) names the exact library versions the programs need; without
# it the package depends by name on the shared libraries they load: the C library, and the
# C++ runtime unless it is built into them.
find_program(BIPAFS_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(BIPAFS_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
elseif(BIPAFS_PROGRAMS_CARRY_CXX_RUNTIME)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()

include(CPack)
