# Cross-compiles for Debian's s390x (64-bit, big-endian) with the
# s390x-linux-gnu toolchain against a private root of that architecture's
# packages (libasound2-dev, libmpfr-dev, libsystemd-dev, libgtest-dev and
# their dependencies), which tools/cross-test.sh unpacks:
# -DZEMBROL_SYSROOT=DIR, or ZEMBROL_SYSROOT in the environment. Its programs
# run under qemu-user with QEMU_LD_PREFIX=DIR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)

include(${CMAKE_CURRENT_LIST_DIR}/private-root.cmake)
