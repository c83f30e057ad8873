# 64-bit ARM Linux (Debian's arm64): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(QUORVEL_CROSS_TRIPLE aarch64-linux-gnu)
set(QUORVEL_CROSS_PROCESSOR aarch64)
set(QUORVEL_DEB_ARCH arm64)
set(QUORVEL_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
