#!/usr/bin/env bash
# Installs what is missing and makes the packages, in build/dist:
#   quorvel_<version>_amd64.deb          the Debian package (console, simulator, speed test, menu entry)
#   quorvel_<version>_arm64.deb          the same for 64-bit ARM, cross-built
#   quorvel_<version>_armhf.deb          and for 32-bit ARMv7 (Raspberry Pi OS's 32-bit flavour)
#   quorvel-<version>-windows.zip        both static Quorvel.exe and quorvel-speed.exe builds, x64 and x86
#   quorvel-<version>-x64-setup.exe      the Windows installers (NSIS), one per architecture
#   quorvel-<version>-x86-setup.exe
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

quorvel_install_missing "${QUORVEL_PACKAGE_PACKAGES[@]}"
quorvel_install_arm
version=$(sed -n 's/^project(Quorvel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
version4=$version  # the four numbers Windows' version resources take
while [ "$(tr -cd . <<<"$version4" | wc -c)" -lt 3 ]; do version4=$version4.0; done
dist=$PWD/build/dist
rm -rf "$dist"
mkdir -p "$dist"

# Debian's hardening flags (fortify, stack protector, relro, now, PIE), as a
# package built by Debian's own tools would have them; for ARM cross-built
# with Debian's cross compilers, the target's Qt from multiarch, and its
# dependencies read off the target's libraries (DEB_HOST_ARCH).
for arch in amd64 "${QUORVEL_ARM_ARCHES[@]}"; do
    dir=build/package
    [ "$arch" = amd64 ] || dir=build/package-$arch
    (
        export DEB_HOST_ARCH=$arch
        eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
        export CXXFLAGS="$CPPFLAGS $CXXFLAGS"
        rm -rf "$dir"  # the flags are read at the first configure
        quorvel_build "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF $(quorvel_toolchain "$arch")
        cd "$dir" && cpack -G DEB >/dev/null
    )
    cp "$dir/quorvel_${version}_$arch.deb" "$dist/"
done

# The installers carry the whole manual as README.txt: the README, then docs/.
manual=$PWD/build/manual.md
for doc in README.md docs/*.md; do
    cat "$doc"
    echo
done >"$manual"
for arch in x64 x86; do
    triple=$([ $arch = x64 ] && echo x86_64 || echo i686)
    quorvel_build "build/win-$arch-release" -DCMAKE_TOOLCHAIN_FILE="cmake/$triple-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
    "$triple-w64-mingw32-strip" -o "$dist/Quorvel-$arch.exe" "build/win-$arch-release/Quorvel.exe"
    "$triple-w64-mingw32-strip" -o "$dist/quorvel-speed-$arch.exe" "build/win-$arch-release/quorvel-speed.exe"
    makensis -V2 -DARCH=$arch -DVERSION="$version" -DVERSION4="$version4" -DEXE="$dist/Quorvel-$arch.exe" \
        -DSPEED="$dist/quorvel-speed-$arch.exe" -DREADME="$manual" -DOUT="$dist/quorvel-$version-$arch-setup.exe" \
        packaging/windows/quorvel.nsi
done
zipdir=$dist/quorvel-$version-windows
mkdir -p "$zipdir/x64" "$zipdir/x86"
for arch in x64 x86; do
    mv "$dist/Quorvel-$arch.exe" "$zipdir/$arch/Quorvel.exe"
    mv "$dist/quorvel-speed-$arch.exe" "$zipdir/$arch/quorvel-speed.exe"
done
(cd "$dist" && cmake -E tar cf "quorvel-$version-windows.zip" --format=zip "quorvel-$version-windows")
rm -rf "$zipdir"
ls -l "$dist"
