#!/usr/bin/env bash
# Checks what ./package.sh made (in DIST, default build/dist):
#   - the Debian package: its desktop entry and AppStream file pass their
#     validators, its contents and dependencies are as intended, lintian finds
#     no error or warning, the simulator's manual page names every option its
#     --help gives, and installed into a scratch root its quorvel starts,
#     maps its window (on a private Xvfb) and quits with 0 on SIGTERM;
#   - the ARM packages (arm64, armhf) the same way, their programs run under
#     user-mode qemu, and their architecture checked;
#   - the Windows installers, under Wine in a fresh prefix: each installs
#     silently (/S), Quorvel.exe is where the Start-menu entry points, the
#     64-bit one starts and maps its window, and the uninstaller removes it all.
# Ends with "N passed, 0 failed, 0 skipped" when every check held.
#   package-check.sh [DIST [debian|windows|all|arm64|armhf]]   (all by default: debian and windows)
set -euo pipefail
cd "$(dirname "$0")/.."
dist=$(cd "${1:-build/dist}" && pwd)
parts=${2:-all}
version=$(sed -n 's/^project(Quorvel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=amd64 run=()
case $parts in
    arm64) arch=arm64 run=(qemu-aarch64 -L /) ;;
    armhf) arch=armhf run=(qemu-arm -L /) ;;
esac
deb=$dist/quorvel_${version}_$arch.deb
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    [ -n "${WINEPREFIX:-}" ] && /usr/lib/wine/wineserver -k 2>/dev/null || true
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
passed=0 failed=0
check() {
    local what=$1
    shift
    if "$@" >"$work/out" 2>&1; then
        passed=$((passed + 1))
        echo "ok    $what"
    else
        failed=$((failed + 1))
        echo "FAIL  $what"
        sed 's/^/      /' "$work/out" | head -n 20
    fi
}
# Waits up to 20 s for a window whose name matches this pattern on $DISPLAY.
window_maps() { for _ in $(seq $((200 * ${QUORVEL_WAIT_SCALE:-1}))); do xdotool search --name "$1" >/dev/null 2>&1 && return 0; sleep 0.1; done; return 1; }

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q "[0-9]" "$work/display" 2>/dev/null && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$work/display")"
caption="^Quorvel .Usb-Com.   vers 20-08-2013$"  # a pattern: the parentheses as any character

# ---------------------------------------------------------------- Debian
if [ "$parts" != windows ]; then
files=$work/deb
dpkg-deb -x "$deb" "$files"
# The target's architecture, and programs built for it.
built_for() {
    dpkg-deb -f "$deb" Architecture | grep -qx "$arch" || { echo "Architecture: $(dpkg-deb -f "$deb" Architecture)"; return 1; }
    local machine
    machine=$(case $arch in amd64) echo x86-64 ;; arm64) echo aarch64 ;; armhf) echo ARM ;; esac)
    for program in quorvel quorvel-sim quorvel-speed; do
        file -b "$files/usr/bin/$program" | tee /dev/stderr | grep -q "$machine" || return 1
    done
}
check "the package is for $arch, its programs built for it" built_for
app=org.quorvel.Quorvel
check "desktop entry is valid" desktop-file-validate "$files/usr/share/applications/$app.desktop"
check "AppStream metadata is valid" appstreamcli validate --no-net "$files/usr/share/metainfo/$app.metainfo.xml"
expected="./usr/bin/quorvel ./usr/bin/quorvel-sim ./usr/bin/quorvel-speed ./usr/share/applications/$app.desktop
./usr/share/metainfo/$app.metainfo.xml ./usr/share/icons/hicolor/scalable/apps/$app.svg ./usr/share/man/man1/quorvel.1.gz
./usr/share/man/man1/quorvel-sim.1.gz ./usr/share/man/man1/quorvel-speed.1.gz
./usr/share/doc/quorvel/copyright ./usr/share/doc/quorvel/changelog.gz ./usr/share/quorvel/screenshot.png"
for size in 16 32 48 64 128 256; do expected+=" ./usr/share/icons/hicolor/${size}x${size}/apps/$app.png"; done
contents() {
    local listed
    listed=$(dpkg-deb -c "$deb" | awk '{print $6}')
    for f in $expected; do grep -qx -- "$f" <<<"$listed" || { echo "missing: $f"; return 1; }; done
    # Nothing beyond what is listed, but the folders that hold it.
    local extra
    extra=$(grep -v '/$' <<<"$listed" | grep -vxF -f <(tr ' ' '\n' <<<"$expected") || true)
    [ -z "$extra" ] || { echo "unexpected: $extra"; return 1; }
}
check "the package holds the programs, menu entry, icons, metadata, manuals and documents, and nothing else" contents
depends() {
    local d
    d=$(dpkg-deb -f "$deb" Depends)
    echo "$d"
    for needed in fonts-wine libqt6widgets6 libqt6gui6 libqt6core6 libc6 libstdc++6; do grep -q "$needed" <<<"$d" || return 1; done
}
check "its dependencies: Qt, the C++ runtime and fonts-wine" depends
check "lintian finds no error or warning" lintian --fail-on error,warning --suppress-tags binary-has-unneeded-section "$deb"
hardened() {
    local notes
    notes=$(lintian -I --suppress-tags binary-has-unneeded-section "$deb" | grep -- "hardening-" || true)
    [ -z "$notes" ] || { echo "$notes"; return 1; }
}
check "the programs are built with Debian's hardening flags (no lintian note about them)" hardened
man_options() {
    local program=$1 page=$work/$1.1
    gunzip -c "$files/usr/share/man/man1/$program.1.gz" >"$page"
    man -l "$page" >/dev/null
    local option
    for option in $("${run[@]}" "$files/usr/bin/$program" --help | grep -o -- '--[a-z-]*' | sort -u); do
        grep -qF -- "$(sed 's/-/\\-/g' <<<"$option")" "$page" || { echo "the manual page lacks $option"; return 1; }
    done
}
check "quorvel-sim's manual page names every option of its --help" man_options quorvel-sim
check "quorvel-speed's manual page names every option of its usage" man_options quorvel-speed
check "quorvel's manual page names every option of its --help" man_options quorvel
scratch_root() {
    local root=$work/root
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    touch "$root/var/lib/dpkg/status"
    [ "$arch" = amd64 ] || dpkg --root="$root" --force-not-root --add-architecture "$arch"
    dpkg --root="$root" --force-depends --force-not-root -i "$deb" >"$work/dpkg" 2>&1 || { cat "$work/dpkg"; return 1; }
    [ -x "$root/usr/bin/quorvel" ]
    "${run[@]}" "$root/usr/bin/quorvel-speed" --help | grep "^usage: quorvel-speed " || return 1
    "${run[@]}" "$root/usr/bin/quorvel-sim" --help | grep "^usage: quorvel-sim " || return 1
    XDG_CONFIG_HOME=$work/config QT_QPA_PLATFORM=xcb "${run[@]}" "$root/usr/bin/quorvel" &
    local console=$! status=0
    pids+=($console)
    window_maps "$caption" || { echo "the installed quorvel mapped no window"; return 1; }
    # Ended as a logout ends it: the window closes and the program ends with 0.
    kill -TERM "$console"
    wait "$console" || status=$?
    [ $status -eq 0 ] || { echo "quorvel ended with $status on SIGTERM"; return 1; }
}
check "installed into a scratch root, quorvel-speed and quorvel-sim answer --help, quorvel maps its window and quits on SIGTERM" scratch_root
fi

# ---------------------------------------------------------------- Windows, under Wine
if [ "$parts" = windows ] || [ "$parts" = all ]; then
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
# Silent installs need no display (and with none Wine starts no desktop that
# would keep its server waiting); the server is given 30 s to end.
settle() { timeout $((30 * ${QUORVEL_WAIT_SCALE:-1})) /usr/lib/wine/wineserver -w || /usr/lib/wine/wineserver -k || true; }
tests/wine-run.sh --new-prefix >/dev/null
# The values of a key of the prefix's machine hive, as the server saved it
# (the x86 installer's land under Wow6432Node).
key() { K="[Software\\\\$1]" awk 'index($0, ENVIRON["K"]) == 1 { on = 1; next } /^\[/ { on = 0 } on' "$WINEPREFIX/system.reg"; }
uninstall_key() { [ "$1" = x64 ] && echo 'Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorvel-x64' \
    || echo 'Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorvel-x86'; }
folder_of() { [ "$1" = x64 ] && echo "Program Files" || echo "Program Files (x86)"; }
link_of() { echo "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Quorvel/$([ "$1" = x64 ] && echo Quorvel || echo "Quorvel (x86)").lnk"; }
held=()
# Both architectures, one after the other, side by side.
for arch in x64 x86; do
    folder=$(folder_of $arch)
    installed="$WINEPREFIX/drive_c/$folder/Quorvel"
    link=$(link_of $arch)
    install() {
        env -u DISPLAY "$wine" "$dist/quorvel-$version-$arch-setup.exe" /S
        settle
        for file in Quorvel.exe quorvel-speed.exe README.txt Uninstall.exe; do
            [ -f "$installed/$file" ] || { echo "no $installed/$file"; return 1; }
        done
        [ -f "$link" ] || { echo "no Start-menu entry at $link"; return 1; }
        grep -aq "C:\\\\$folder\\\\Quorvel\\\\Quorvel.exe" "$link" || { echo "the Start-menu entry points elsewhere"; return 1; }
    }
    before=$failed
    check "the $arch installer installs silently, quorvel-speed.exe beside Quorvel.exe, the Start-menu entry pointing at it" install
    [ "$failed" -eq "$before" ] && held+=($arch)
done
listed() {
    # Programs and Features: an entry each, with the icon, the version, the size and the README.
    for arch in x64 x86; do
        local values folder
        values=$(key "$(uninstall_key $arch)") folder=$(folder_of $arch)
        for want in "\"DisplayName\"=\"Quorvel ($arch)\"" "\"DisplayVersion\"=\"$version\"" \
                    "\"DisplayIcon\"=\"C:\\\\$folder\\\\Quorvel\\\\Quorvel.exe,0\"" \
                    "\"URLInfoAbout\"=\"C:\\\\$folder\\\\Quorvel\\\\README.txt\"" "\"Publisher\"=\"The Quorvel developers\""; do
            grep -qF -- "$want" <<<"$values" || { echo "the $arch entry lacks $want:"; echo "$values"; return 1; }
        done
        local size
        size=$(sed -n 's/^"EstimatedSize"=dword:\([0-9a-f]*\)$/\1/p' <<<"$values")
        [ -n "$size" ] && [ $((16#$size)) -ge 100 ] || { echo "the $arch entry's EstimatedSize is ${size:-missing} KB"; return 1; }
    done
}
check "Programs and Features lists both, each with its icon, version, publisher, size and README" listed
for arch in x86 x64; do
    folder=$(folder_of $arch)
    installed="$WINEPREFIX/drive_c/$folder/Quorvel"
    link=$(link_of $arch)
    uninstall() {
        # Only an install that held can show an uninstall at work.
        [[ " ${held[*]} " == *" $arch "* ]] || { echo "nothing was installed to remove"; return 1; }
        env -u DISPLAY "$wine" "C:\\$folder\\Quorvel\\Uninstall.exe" /S || { echo "the uninstaller did not run"; return 1; }
        settle
        [ ! -e "$installed" ] || { echo "left behind: $(ls "$installed")"; return 1; }
        [ ! -e "$link" ] || { echo "the Start-menu entry is still there"; return 1; }
        [ -z "$(key "$(uninstall_key $arch)")" ] || { echo "its Programs and Features entry is still there"; return 1; }
    }
    check "the $arch uninstaller removes it silently, and only it" uninstall
    if [ $arch = x86 ]; then
        starts() {
            # The other one is whole and still starts.
            [ -f "$(link_of x64)" ] && [ -n "$(key "$(uninstall_key x64)")" ] || { echo "the x64 install lost its entry"; return 1; }
            "$wine" "C:\\Program Files\\Quorvel\\Quorvel.exe" &
            pids+=($!)
            window_maps "$caption" || { echo "Quorvel.exe mapped no window"; return 1; }
            /usr/lib/wine/wineserver -k
            settle
        }
        check "with the x86 one removed, the x64 Quorvel.exe is listed and starts, mapping its window" starts
    fi
done
upgrade() {
    # An older version of the same architecture is replaced where it is: one entry, the new version.
    (cd "$work" && cmake -E tar xf "$dist/quorvel-$version-windows.zip") || return 1
    local exes=$work/quorvel-$version-windows/x64
    (cd packaging/windows && makensis -V1 -DARCH=x64 -DVERSION=0.0.9 -DVERSION4=0.0.9.0 -DEXE="$exes/Quorvel.exe" \
        -DSPEED="$exes/quorvel-speed.exe" -DREADME="$PWD/../../README.md" -DOUT="$work/old-setup.exe" quorvel.nsi) >/dev/null || return 1
    env -u DISPLAY "$wine" "$work/old-setup.exe" /S
    settle
    grep -qF '"DisplayVersion"="0.0.9"' <<<"$(key "$(uninstall_key x64)")" || { echo "the older version did not install"; return 1; }
    env -u DISPLAY "$wine" "$dist/quorvel-$version-x64-setup.exe" /S
    settle
    grep -qF "\"DisplayVersion\"=\"$version\"" <<<"$(key "$(uninstall_key x64)")" || { echo "the entry still says $(key "$(uninstall_key x64)" | grep DisplayVersion)"; return 1; }
    [ "$(grep -c '^\[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\Quorvel' "$WINEPREFIX/system.reg")" -eq 1 ] || { echo "more than one entry"; return 1; }
    env -u DISPLAY "$wine" "C:\\Program Files\\Quorvel\\Uninstall.exe" /S
    settle
}
check "installing over an older version replaces it in place" upgrade
fi

echo "$passed passed, $failed failed, 0 skipped"
[ "$failed" -eq 0 ]
