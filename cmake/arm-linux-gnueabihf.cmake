# Cross-building for armhf Linux (arm) with Debian's cross compiler
# (package g++-arm-linux-gnueabihf); scripts/package --arch armhf and scripts/test --arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run on this machine under user-mode emulation (the
# unit tests), with the target's libraries where Debian installs them for
# that architecture (libstdc++6:ARCH). Not with the cross compiler's own
# (qemu -L /usr/TRIPLET): threads then hang or crash the emulator.
find_program(SERCAP_QEMU_USER qemu-arm)
if(SERCAP_QEMU_USER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SERCAP_QEMU_USER})
endif()
