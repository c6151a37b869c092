# Cross-compiles for Debian's armhf with the arm-linux-gnueabihf toolchain and the
# multiarch libraries (libasound2-dev:armhf, libmpfr-dev:armhf, libgtest-dev:armhf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# pkg-config reads this architecture's .pc files (and the architecture-
# independent ones), not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
