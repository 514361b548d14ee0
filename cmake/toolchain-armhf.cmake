# Cross build for the box: 32-bit ARM, hard-float, glibc (Debian's
# g++-arm-linux-gnueabihf). Target programs run on the host through qemu-arm
# (Debian's qemu-user), so ctest runs the whole suite under emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(KESU_ARM_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${KESU_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KESU_ARM_TRIPLE}-g++)

set(KESU_ARM_SYSROOT /usr/${KESU_ARM_TRIPLE})
# The cross sysroot, then "/" for Debian's multiarch armhf packages
# (/usr/lib/arm-linux-gnueabihf), such as libbenchmark-dev:armhf.
list(APPEND CMAKE_FIND_ROOT_PATH ${KESU_ARM_SYSROOT} /)
set(CMAKE_LIBRARY_ARCHITECTURE ${KESU_ARM_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The library path keeps the sysroot's loader and C library together even
# where a multiarch libc6:armhf of another build is installed on the host.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${KESU_ARM_SYSROOT} -E LD_LIBRARY_PATH=${KESU_ARM_SYSROOT}/lib)

# pkg-config sees the armhf packages only, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${KESU_ARM_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
