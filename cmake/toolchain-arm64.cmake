# Cross-compiling for 64-bit ARM Linux (a Raspberry Pi 3, 4, 5 or Zero 2 on the 64-bit OS, most
# other boards) with Debian's cross compiler (crossbuild-essential-arm64) and the arm64 libraries
# installed beside this machine's own through multiarch (dpkg --add-architecture arm64):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
# scripts/deb arm64 does this and packages the result. Where qemu-user-static is installed the
# tests run under its emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Multiarch keeps the arm64 libraries under /usr/lib/aarch64-linux-gnu and their headers in the
# same /usr/include as this machine's: the root stays /, and only the arm64 pkg-config files may
# be read, never this machine's twins of them.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})

find_program(QUORVANE_QEMU_AARCH64 qemu-aarch64-static)
if(QUORVANE_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVANE_QEMU_AARCH64})
endif()
