# Cross-compiles for Debian's ppc64el (64-bit POWER, little-endian) with the
# powerpc64le-linux-gnu toolchain against a private root of that
# architecture's packages (libasound2-dev, libmpfr-dev, libsystemd-dev,
# libgtest-dev and their dependencies), which tools/cross-test.sh unpacks:
# -DZEMBROL_SYSROOT=DIR, or ZEMBROL_SYSROOT in the environment. Its programs
# run under qemu-user with QEMU_LD_PREFIX=DIR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(CMAKE_C_COMPILER powerpc64le-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc64le-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE powerpc64le-linux-gnu)

include(${CMAKE_CURRENT_LIST_DIR}/private-root.cmake)
