#!/usr/bin/env bash
# Runs in the rig's guest (tests/rig/rig.sh), whose kernel runs 32-bit
# programs: the 32-bit Windows suite under 32-bit Wine and the Windows
# installers' checks, for a machine whose own kernel runs none.
#   tests/rig/wine32.sh       from the checkout, with build/mingw-i686 and build/dist made
set -uo pipefail
# The guest's own serial ports (ttyS*, and the rig's ttyACM0) would be
# Wine's COM1 to COM5, in place of the links the tests make: hide them.
rm -f /dev/ttyS[0-9]* /dev/ttyACM[0-9]*
# A Windows program mapped straight from the shared root reads as zeros here;
# copied into the guest's own memory (the overlay's upper layer) it runs.
for exe in build/mingw-i686/*.exe build/mingw-i686/tests/*.exe build/dist/*.exe; do
    [ -f "$exe" ] && cp "$exe" "$exe.copy" && mv -f "$exe.copy" "$exe"
done
# Emulated, everything is slower: longer limits, the same checks.
export QUORVEL_WAIT_SCALE=6
cmake -S . -B build/mingw-i686 -DQUORVEL_WINE_TIMEOUT=900 >/dev/null || exit 1
# Passed only when every test the suite holds ran: an exit status alone
# would pass a suite that found none.
expected=$(cd build/mingw-i686 && ctest -N | sed -n 's/^Total Tests: \([0-9]*\)$/\1/p')
(cd build/mingw-i686 && ctest --no-tests=error --output-on-failure) | tee /tmp/wine32-suite.log
suite=${PIPESTATUS[0]}
ran=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' /tmp/wine32-suite.log | tail -n 1)
if [ "${expected:-0}" -lt 1 ] || [ "${ran:-0}" -lt "$expected" ]; then
    echo "wine32: ${ran:-no} tests ran, of the ${expected:-0} the 32-bit suite holds"
    suite=1
fi
# The guest's writes live in its memory: the suite's prefix makes room for the next.
rm -rf build/mingw-i686/tests/wineprefix
tests/package-check.sh build/dist windows
packages=$?
[ $suite -eq 0 ] && [ $packages -eq 0 ]
