#!/usr/bin/env bash
# Installs what is missing, builds in Release and runs the benchmarks, each
# printing its figures beside a reference measured in the same run.
#   ./bench.sh                       all of them (about 5 minutes)
#   ./bench.sh idle start ...        some: accuracy overhead stream longlog findsave idle start winlog loopback logmemory rig
#   ./bench.sh longstream            40 MB/s into a real X11 window for 15 minutes (QUORVEL_LONGSTREAM_SECONDS,
#                                    QUORVEL_LONGSTREAM_KBPS), then the thumb, find and both saves over it all
#   ./bench.sh chaos                 the randomised run of the whole console, long (10 minutes,
#                                    or QUORVEL_CHAOS_SECONDS), under the sanitizers and under
#                                    64-bit Wine; QUORVEL_CHAOS_SEED runs a seed again
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

quorvel_install_missing xvfb xauth libx11-dev
quorvel_build build/bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DQUORVEL_BENCH=ON >/dev/null

benches=("$@")
[ ${#benches[@]} -eq 0 ] && benches=(accuracy overhead stream longlog findsave idle start winlog loopback logmemory rig)

model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
echo "machine: ${model:-unknown processor}, $(nproc) cores, $(free -g | awk '/^Mem:/ {print $2}') GB, Linux $(uname -r)," \
     "Qt $(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || echo '?'), $(date -u +%Y-%m-%d)"

missed=0
for bench in "${benches[@]}"; do
    case $bench in
    accuracy | overhead | longlog | idle)
        QT_QPA_PLATFORM=offscreen build/bench/bench/quorvel-bench "$bench" || missed=1 ;;
    stream)
        # Offscreen, then in a real X11 window on a private X server, where users run it.
        QT_QPA_PLATFORM=offscreen build/bench/bench/quorvel-bench stream || missed=1
        env -u QT_QPA_PLATFORM xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" \
            env QT_QPA_PLATFORM=xcb build/bench/bench/quorvel-bench stream || missed=1 ;;
    longstream)
        env -u QT_QPA_PLATFORM xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" env QT_QPA_PLATFORM=xcb build/bench/bench/quorvel-bench longstream \
            --seconds "${QUORVEL_LONGSTREAM_SECONDS:-900}" --rate "${QUORVEL_LONGSTREAM_KBPS:-40960}" || missed=1 ;;
    findsave)
        # In a real X11 window: the event loop's delays are the ones users meet.
        env -u QT_QPA_PLATFORM xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" \
            env QT_QPA_PLATFORM=xcb build/bench/bench/quorvel-bench findsave || missed=1 ;;
    start)
        # A private X server of its own, so no desktop's work gets into the figure.
        env -u QT_QPA_PLATFORM xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" \
            build/bench/bench/quorvel-bench-start build/bench/quorvel build/bench/bench/quorvel-bench-bare || missed=1 ;;
    loopback)
        build/bench/bench/quorvel-bench-loopback || missed=1 ;;
    logmemory)
        # QUORVEL_LOGMEMORY_MB of each kind (1024 by default).
        build/bench/bench/quorvel-bench-logmemory --megabytes "${QUORVEL_LOGMEMORY_MB:-1024}" || missed=1 ;;
    winlog)
        # The Win32 log against Windows' own EDIT, under 64-bit Wine on a private X server.
        quorvel_install_missing g++-mingw-w64-x86-64-posix wine64
        quorvel_build build/bench-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=Release \
            -DBUILD_TESTING=OFF -DQUORVEL_BENCH=ON >/dev/null
        export WINEPREFIX=$PWD/build/bench-mingw/wineprefix
        [ -f "$WINEPREFIX/system.reg" ] || tests/wine-run.sh --new-prefix >/dev/null
        # (Wine's desktop process says "X connection ... broken" when the server goes: not ours.)
        xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" env WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
            /usr/lib/wine/wine64 build/bench-mingw/quorvel-bench-winlog.exe 2> >(grep -v "^X connection" >&2) | tr -d '\r' || missed=1
        unset WINEPREFIX ;;
    rig)
        # The accuracy benchmark on a real USB CDC link: the kernel's cdc-acm
        # and a gadget, in Debian's kernel under qemu (tests/rig/); 15 runs, as the
        # emulated machine is noisier than a real one.
        quorvel_install_missing "${QUORVEL_RIG_PACKAGES[@]}"
        QUORVEL_RIG_CACHE=$PWD/build/bench/rig tests/rig/rig.sh --no-summary build/bench/bench/quorvel-bench accuracy --runs 15 |
            grep -E "^(rig|accuracy):" || missed=1 ;;
    chaos)
        # The test builds, as ./test.sh makes them.
        quorvel_install_missing "${QUORVEL_WINDOWS_PACKAGES[@]}" "${QUORVEL_TEST_PACKAGES[@]}"
        quorvel_build_tests >/dev/null
        quorvel_build_windows_tests x86_64 >/dev/null
        export QUORVEL_CHAOS_SECONDS=${QUORVEL_CHAOS_SECONDS:-600}
        seed=${QUORVEL_CHAOS_SEED:-$(od -An -N6 -tu8 /dev/urandom | tr -d ' ')}
        QUORVEL_CHAOS_SEED=$seed build/asan/tests/tst_chaos || missed=1
        export WINEPREFIX=$PWD/build/mingw-x86_64/tests/wineprefix
        tests/wine-run.sh --new-prefix >/dev/null
        tests/wine-run.sh --free 1 --sim "build/asan/quorvel-sim --port 20 --chaos $seed --rate 100" \
            build/mingw-x86_64/tests/tst_chaos.exe "$seed" || missed=1
        unset WINEPREFIX ;;
    *)
        echo "bench.sh: no benchmark \"$bench\"; there are: accuracy overhead stream longlog findsave idle start winlog loopback logmemory rig longstream chaos" >&2
        exit 2 ;;
    esac
done
[ $missed -eq 0 ] || echo "bench.sh: a target was missed (see MISSED above)"
exit $missed
