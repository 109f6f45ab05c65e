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

# Programs built here run on this machine under user-mode emulation (tests,
# the package's check), with the cross compiler's own C library.
find_program(SERCAP_QEMU_USER qemu-arm)
if(SERCAP_QEMU_USER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SERCAP_QEMU_USER} -L /usr/arm-linux-gnueabihf)
endif()
