# 32-bit Windows: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake
set(QUORVEL_MINGW_TRIPLE i686-w64-mingw32)
set(QUORVEL_MINGW_ARCH x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
