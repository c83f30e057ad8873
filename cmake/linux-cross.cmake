# Cross-compiling for Linux on another processor with Debian's cross
# compilers and its multiarch libraries (Qt 6 for the target installed as
# qt6-base-dev:ARCH beside the machine's own). Included by the per-target
# files beside it, which set QUORVEL_CROSS_TRIPLE, QUORVEL_CROSS_PROCESSOR,
# QUORVEL_DEB_ARCH and QUORVEL_QEMU first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${QUORVEL_CROSS_PROCESSOR})
find_program(CMAKE_CXX_COMPILER NAMES ${QUORVEL_CROSS_TRIPLE}-g++ REQUIRED)
set(CMAKE_LIBRARY_ARCHITECTURE ${QUORVEL_CROSS_TRIPLE})

# Libraries, headers and CMake packages of the target's architecture only
# (/usr/lib/TRIPLE); programs (moc) are the machine's own.
set(CMAKE_FIND_ROOT_PATH /usr/${QUORVEL_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_PREFIX_PATH /usr/lib/${QUORVEL_CROSS_TRIPLE}/cmake)
set(CMAKE_IGNORE_PREFIX_PATH /usr/lib/x86_64-linux-gnu/cmake)
# Qt's tools (moc) come from the machine's own Qt of the same version.
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)

# The tests run under user-mode qemu, the target's libraries found through
# the multiarch root (/lib/ld-linux-*.so and /usr/lib/TRIPLE).
find_program(QUORVEL_QEMU_PROGRAM ${QUORVEL_QEMU})
if(QUORVEL_QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVEL_QEMU_PROGRAM} -L /)
endif()
set(QUORVEL_DEB_ARCH ${QUORVEL_DEB_ARCH} CACHE STRING "The Debian architecture the package is for")
