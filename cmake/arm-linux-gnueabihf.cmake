# 32-bit ARMv7 Linux with hardware floating point (Debian's and Raspberry Pi
# OS's armhf): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(QUORVEL_CROSS_TRIPLE arm-linux-gnueabihf)
set(QUORVEL_CROSS_PROCESSOR armv7l)
set(QUORVEL_DEB_ARCH armhf)
set(QUORVEL_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
