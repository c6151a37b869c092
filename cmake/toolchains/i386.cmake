# Cross-compiles for Debian's i386 with the i686-linux-gnu toolchain and the
# multiarch libraries (libasound2-dev:i386, libmpfr-dev:i386, libgtest-dev:i386).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# pkg-config reads this architecture's .pc files (and the architecture-
# independent ones), not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
