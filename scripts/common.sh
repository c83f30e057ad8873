# Shared by run.sh and test.sh: install what is missing, then configure and build.
# Debian or Ubuntu; apt-get runs through sudo when the user is not root.

# Debian packages the console needs to build and run. fonts-wine carries a
# metric clone of "MS Sans Serif", the face the window's layout is drawn for.
QUORVEL_PACKAGES=(g++ make cmake qt6-base-dev qt6-qpa-plugins libgl-dev fonts-wine)
# What the Windows builds add: the MinGW-w64 cross compilers (the posix
# thread model), 64-bit Wine to run them, and Xvfb, xdotool and ImageMagick
# for the window's tests and its screenshot.
# 32-bit Wine comes from i386 multiarch: quorvel_install_wine32.
QUORVEL_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 xvfb xdotool imagemagick)

quorvel_install_missing() {
    local missing=() pkg
    for pkg in "${QUORVEL_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if ! command -v apt-get >/dev/null; then
        echo "quorvel: missing packages (${missing[*]}) and no apt-get to install them; install them by hand." >&2
        return 1
    fi
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "quorvel: need root or sudo to install: ${missing[*]}" >&2; return 1; }
        sudo=(sudo)
    fi
    echo "quorvel: installing ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# What ./package.sh needs to make the packages, and what test.sh adds to check them.
QUORVEL_PACKAGE_PACKAGES=(dpkg-dev nsis g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix)
QUORVEL_PACKAGE_CHECK_PACKAGES=(lintian file desktop-file-utils appstream man-db xvfb xdotool wine64)

# What the tests themselves use: Python's json reads quorvel-speed's JSON strictly.
QUORVEL_TEST_PACKAGES=(python3)

# The USB CDC rig: Debian's kernel under qemu (TCG), built into an initramfs
# with busybox.
QUORVEL_RIG_PACKAGES=(qemu-system-x86 busybox-static cpio)

# 32-bit Wine, for the i686 build: Debian's wine32 from the i386 architecture,
# without its recommends (no amd64 package is replaced).
quorvel_install_wine32() {
    dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "ok installed" && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "quorvel: installing 32-bit Wine (wine32 from the i386 architecture)"
    dpkg --print-foreign-architectures | grep -qx i386 || "${sudo[@]}" dpkg --add-architecture i386
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends wine32:i386
}

# Linux on ARM: 64-bit (arm64) and 32-bit ARMv7 (armhf), cross-built with
# Debian's cross compilers against the target's Qt from multiarch, and run
# under user-mode qemu (the target's libraries found through the multiarch
# root). Each architecture's toolchain file is in cmake/.
QUORVEL_ARM_ARCHES=(arm64 armhf)
quorvel_triple() { case $1 in arm64) echo aarch64-linux-gnu ;; armhf) echo arm-linux-gnueabihf ;; esac; }
# The cmake option that cross-builds for ARCH (nothing for the machine's own).
quorvel_toolchain() { [ "$1" = amd64 ] || echo "-DCMAKE_TOOLCHAIN_FILE=cmake/$(quorvel_triple "$1").cmake"; }
quorvel_install_arm() {
    local arch wanted=(qemu-user) missing=() pkg
    for arch in "${QUORVEL_ARM_ARCHES[@]}"; do
        wanted+=("g++-$(quorvel_triple "$arch")" "qt6-base-dev:$arch")
    done
    for pkg in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "quorvel: installing the ARM cross builds' tools and libraries (${missing[*]})"
    for arch in "${QUORVEL_ARM_ARCHES[@]}"; do
        dpkg --print-foreign-architectures | grep -qx "$arch" || "${sudo[@]}" dpkg --add-architecture "$arch"
    done
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# quorvel_build DIR [cmake options...]
quorvel_build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j "${JOBS:-$(nproc 2>/dev/null || echo 2)}"
}

# The test builds: Linux with the sanitizers in build/asan (the benchmarks
# built too, so that they keep compiling; the rig's tests on), and Windows
# (x86_64 or i686) in build/mingw-TARGET, whose Wine run joins its ports
# with the Linux build's null-modem cable.
quorvel_build_tests() {
    quorvel_build build/asan -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=ON -DBUILD_TESTING=ON -DQUORVEL_BENCH=ON -DQUORVEL_RIG=ON
}
# The ARM test builds (ARCH: arm64 or armhf), in build/ARCH: without the
# sanitizers, which user-mode qemu does not carry; optimised, as emulation is slow.
quorvel_build_arm_tests() {
    quorvel_build "build/$1" $(quorvel_toolchain "$1") -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON
}
quorvel_build_windows_tests() {
    quorvel_build "build/mingw-$1" -DCMAKE_TOOLCHAIN_FILE="cmake/$1-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=ON -DQUORVEL_NULLMODEM="$PWD/build/asan/quorvel-nullmodem"
}
