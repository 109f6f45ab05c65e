# Cross-building for arm64 Linux (aarch64) with Debian's cross compiler
# (package g++-aarch64-linux-gnu); scripts/package --arch arm64 and scripts/test --arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run on this machine under user-mode emulation (the
# unit tests), with the target's libraries where Debian installs them for
# that architecture (libstdc++6:ARCH). Not with the cross compiler's own
# (qemu -L /usr/TRIPLET): threads then hang or crash the emulator.
find_program(SERCAP_QEMU_USER qemu-aarch64)
if(SERCAP_QEMU_USER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SERCAP_QEMU_USER})
endif()
