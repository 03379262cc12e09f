# Cross-build for 32-bit ARM (hard float) with Debian's cross toolchain and
# multiarch libraries:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
# The armhf libraries live beside the host's in /usr/lib/arm-linux-gnueabihf
# (dpkg --add-architecture armhf); scripts/install-cross-deps installs them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# With multiarch the target's headers and libraries sit beside the host's,
# in /usr/include/arm-linux-gnueabihf and /usr/lib/arm-linux-gnueabihf, which
# the compiler and CMAKE_LIBRARY_ARCHITECTURE already search; keep the host's
# own libraries out of every search.
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)

# pkg-config answers for the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test programs (and gtest's test discovery) run under qemu-user; the ARM
# loader and libraries are found through multiarch at their usual paths.
find_program(QEMU_ARM NAMES qemu-arm-static qemu-arm)
if(QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_ARM})
endif()
