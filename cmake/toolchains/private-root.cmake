# The part of a cross toolchain file that builds against a private root of the
# target's packages, which tools/cross-test.sh unpacks: -DZEMBROL_SYSROOT=DIR,
# or ZEMBROL_SYSROOT in the environment. The including file names the
# processor, the compilers and CMAKE_LIBRARY_ARCHITECTURE first.
if(NOT ZEMBROL_SYSROOT)
  set(ZEMBROL_SYSROOT "$ENV{ZEMBROL_SYSROOT}")
endif()
if(NOT IS_DIRECTORY "${ZEMBROL_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}")
  message(FATAL_ERROR "ZEMBROL_SYSROOT (${ZEMBROL_SYSROOT}) is no root of ${CMAKE_SYSTEM_PROCESSOR} "
                      "packages: tools/cross-test.sh makes one")
endif()
# The checks' own projects (try_compile) read this file again.
set(ZEMBROL_SYSROOT "${ZEMBROL_SYSROOT}" CACHE PATH "Root of the target's packages")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZEMBROL_SYSROOT)
# The compiler keeps its own C and C++ libraries (/usr/TRIPLET, as
# /usr/s390x-linux-gnu) and
# finds the others under the root's multiarch directories; so do CMake's
# searches (GTest's package files), but programs are the build machine's.
set(CMAKE_SYSROOT "${ZEMBROL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config reads the root's .pc files and puts the root before their paths.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
