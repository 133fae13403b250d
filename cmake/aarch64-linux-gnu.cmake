# Cross-build for the board (64-bit ARM) with Debian's g++-aarch64-linux-gnu
# against the arm64 packages of the libraries (multiarch; installed by
# scripts/install-deps.sh --arm64). Programs run through qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Headers are shared between architectures in /usr/include; libraries and
# their pkg-config files are the arm64 ones only.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)

find_program(OBDGW_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(OBDGW_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OBDGW_QEMU_AARCH64})
endif()

# Debian package architecture of what this build makes.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
