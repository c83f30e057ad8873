# 64-bit Windows: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake
set(QUORVEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(QUORVEL_MINGW_ARCH AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
