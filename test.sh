#!/usr/bin/env bash
# Installs what is missing and runs every test:
#   - on Linux, built with AddressSanitizer and UndefinedBehaviorSanitizer (the
#     window tests offscreen), the USB CDC rig's tests included (the kernel's
#     own cdc-acm driver and a USB gadget, under qemu);
#   - the Windows console (Quorvel.exe on the system's own controls) and its
#     core built for 64- and 32-bit Windows with MinGW-w64, their tests run
#     under 64- and 32-bit Wine against the Win32 comm API itself, the window
#     on an X display of its own;
#   - Linux on ARM (arm64 and armhf), cross-built against Debian's multiarch
#     Qt: every Linux test but the rig's, run under user-mode qemu;
#   - the packages (./package.sh): the Debian packages (amd64, arm64, armhf)
#     validated, linted and installed into a scratch root, the Windows
#     installers installed and uninstalled silently under Wine.
# On a kernel that runs no 32-bit program, the 32-bit Windows suite and the
# installers' checks run in the rig's guest instead (it says so, and why).
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

# How long each step took, said at the end (the docs give these figures).
laps=() lapped=0
lap() {
    laps+=("$1 $(((SECONDS - lapped) / 60)) min $(((SECONDS - lapped) % 60)) s")
    lapped=$SECONDS
}

quorvel_install_missing "${QUORVEL_WINDOWS_PACKAGES[@]}" "${QUORVEL_RIG_PACKAGES[@]}" \
    "${QUORVEL_PACKAGE_PACKAGES[@]}" "${QUORVEL_PACKAGE_CHECK_PACKAGES[@]}" "${QUORVEL_TEST_PACKAGES[@]}"
quorvel_install_wine32
quorvel_install_arm
# The benchmarks are built too, so that they keep compiling; ./bench.sh runs them.
# The rig (tests/rig/) boots Debian's kernel under qemu with a real USB CDC
# link inside; its kernel is fetched once and kept in build/asan/rig.
quorvel_build_tests
for target in x86_64 i686; do
    quorvel_build_windows_tests $target
done
for arch in "${QUORVEL_ARM_ARCHES[@]}"; do
    quorvel_build_arm_tests "$arch"
done
lap "installing and building"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
echo "== Linux"
(cd build/asan && ctest --no-tests=error --output-on-failure)
lap "Linux"
echo "== 64-bit Windows, under Wine"
(cd build/mingw-x86_64 && ctest --no-tests=error --output-on-failure)
lap "64-bit Wine"
for arch in "${QUORVEL_ARM_ARCHES[@]}"; do
    qemu=$(sed -n 's/^QUORVEL_QEMU_PROGRAM:FILEPATH=//p' "build/$arch/CMakeCache.txt")
    echo "== Linux on $arch, under user-mode qemu ($qemu)"
    if [ ! -x "$qemu" ]; then
        echo "quorvel: the $arch stage cannot run: no user-mode qemu for it (Debian's qemu-user)" >&2
        exit 1
    elif ! error=$("$qemu" -L / "build/$arch/quorvel-sim" --help 2>&1 >/dev/null); then
        echo "quorvel: the $arch stage cannot run: its programs do not start under $qemu: $error" >&2
        exit 1
    fi
    (cd "build/$arch" && ctest --no-tests=error --output-on-failure)
    # What emulation cannot show is said, not passed over.
    grep -h "^note \|^SKIP " "build/$arch/Testing/Temporary/LastTest.log" || true
    lap "$arch"
done
# 32-bit Wine runs where a 32-bit program does: here when this kernel runs
# one (the choice is made by trying), else in the rig's guest, Debian's own
# kernel under qemu, which does. QUORVEL_WINE32=guest asks for the guest.
if [ "${QUORVEL_WINE32:-}" = guest ]; then
    guest32="QUORVEL_WINE32=guest asks for it"
elif ! error=$(/usr/lib/wine/wine --version 2>&1); then
    guest32="this kernel runs no 32-bit program (${error##*: })"
else
    guest32=
fi
if [ -z "$guest32" ]; then
    echo "== 32-bit Windows, under 32-bit Wine, here: this kernel runs 32-bit programs"
    (cd build/mingw-i686 && ctest --no-tests=error --output-on-failure)
    lap "32-bit Wine"
    echo "== The packages: the Debian package, and the Windows installers under Wine"
    ./package.sh >/dev/null
    tests/package-check.sh build/dist
else
    echo "== The packages: the Debian package (the Windows installers are checked in the guest below)"
    ./package.sh >/dev/null
    tests/package-check.sh build/dist debian
fi
for arch in "${QUORVEL_ARM_ARCHES[@]}"; do
    echo "== The $arch package, its programs under user-mode qemu"
    tests/package-check.sh build/dist "$arch"
done
lap "the packages"
if [ -n "$guest32" ]; then
    echo "== 32-bit Windows, under 32-bit Wine in the rig's guest: $guest32"
    echo "   (then the Windows installers' checks there too; emulated, this takes some minutes)"
    QUORVEL_RIG_CACHE=$PWD/build/asan/rig QUORVEL_RIG_MEMORY=6144 QUORVEL_RIG_TIMEOUT=1800 \
        tests/rig/rig.sh --no-summary tests/rig/wine32.sh
    lap "32-bit Wine and the installers in the guest"
fi
echo "test.sh: every stage passed in $((SECONDS / 60)) min $((SECONDS % 60)) s: $(IFS=,; echo "${laps[*]}" | sed 's/,/, /g')"
