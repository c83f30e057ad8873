#!/usr/bin/env bash
# The USB CDC rig: Debian's own kernel under qemu (TCG), with both ends of a
# USB CDC link in one guest: the real cdc-acm driver gives /dev/ttyACM0 (the
# PC's side), a gadget with an ACM function on dummy_hcd gives /dev/ttyGS0
# (the board's side). The command runs in the guest, in this machine's root
# (shared read-only, under an overlay that keeps the guest's writes in its
# own memory), in the current folder.
#
#   tests/rig/rig.sh [--no-summary] COMMAND [ARGS...]
#
# Passes when the guest came up, the command exited 0 and its output ends
# with the plain tests' summary ("N passed, 0 failed, M skipped", N at least
# 1): a guest that never ran the tests must not pass (--no-summary, for a
# benchmark, asks for the exit status alone). The kernel is
# fetched from Debian's mirror once and kept in $QUORVEL_RIG_CACHE (default
# build/rig). The guest sees QUORVEL_RIG_UDC, the gadget's bind file: an
# empty line unplugs the board, the controller's name plugs it in again.
# QUORVEL_RIG_MEMORY (MB, default 1536) and QUORVEL_RIG_TIMEOUT (s, default
# 240) size the guest for longer work (the 32-bit Windows tests).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${QUORVEL_RIG_CACHE:-$here/../../build/rig}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

fail() {
    echo "rig: $*" >&2
    exit 1
}
summary_needed=yes
if [ "${1:-}" = "--no-summary" ]; then
    summary_needed=no
    shift
fi
[ $# -ge 1 ] || fail "no command given"
for tool in qemu-system-x86_64 cpio; do command -v "$tool" >/dev/null || fail "no $tool (install qemu-system-x86 and cpio)"; done
[ -x /bin/busybox ] || fail "no /bin/busybox (install busybox-static)"

# The generic kernel (the cloud one has no USB), found through the metapackage.
kernel_dir=$cache/kernel
if [ ! -f "$kernel_dir/ready" ]; then
    package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n 1)
    if [ -z "$package" ]; then
        apt-get update -qq
        package=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n 1)
    fi
    [ -n "$package" ] || fail "Debian's linux-image-amd64 names no kernel"
    echo "rig: fetching $package"
    rm -rf "$kernel_dir"
    mkdir -p "$kernel_dir"
    (cd "$kernel_dir" && apt-get download -qq "$package" 2>/dev/null && dpkg-deb -x ./*.deb root && rm -f ./*.deb) ||
        fail "could not fetch $package"
    touch "$kernel_dir/ready"
fi
vmlinuz=$(ls "$kernel_dir"/root/boot/vmlinuz-* | head -n 1)
modules=$(ls -d "$kernel_dir"/root/lib/modules/* | head -n 1)

# The initramfs: busybox, the modules in load order (each after what it
# needs, from modules.dep), the init and the command.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ramfs=$work/ramfs
mkdir -p "$ramfs/bin" "$ramfs/modules"
cp /bin/busybox "$ramfs/bin/busybox"
cp "$here/init" "$ramfs/init"
# The package has no modules.dep (depmod makes it on install): each module's
# own "depends=" says what it needs.
declare -A path_of=() loaded=()
while IFS= read -r ko; do
    name=$(basename "$ko")
    name=${name%%.ko*}
    path_of[${name//-/_}]=$ko
done < <(find "$modules/kernel" -name '*.ko*')
order=()
load() {
    local name=${1//-/_} dep
    local path=${path_of[$name]:-}
    [ -n "$path" ] || fail "no module $1 in $(basename "$modules")"
    [ -n "${loaded[$name]:-}" ] && return 0
    loaded[$name]=1
    local needs
    needs=$(tr '\0' '\n' <"$path" | sed -n 's/^depends=//p' | head -n 1)
    for dep in ${needs//,/ }; do load "$dep"; done
    cp "$path" "$ramfs/modules/"
    order+=("$(basename "$path")")
}
for m in virtio_pci 9pnet_virtio 9p overlay dummy_hcd libcomposite usb_f_acm cdc-acm; do load "$m"; done
for m in "${order[@]}"; do
    case $m in
    dummy_hcd.ko*) echo "$m is_high_speed=0" ;;  # full speed, as the boards are
    usb_f_acm.ko*) echo "$m dyndbg=+p" ;;  # logs each request the board gets: its view of DTR and RTS
    *) echo "$m" ;;
    esac
done >"$ramfs/modules/order"
{
    echo "cd $(printf %q "$PWD") || exit 95"
    echo "mkdir -p -m 700 /tmp/runtime"
    echo "export PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/tmp XDG_CONFIG_HOME=/tmp/config XDG_RUNTIME_DIR=/tmp/runtime"
    echo "export QUORVEL_RIG_UDC=/sys/kernel/config/usb_gadget/quorvel/UDC QUORVEL_RIG_CONTROLLER=\$(cat /tmp/rig-udc)"
    echo "export QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
    printf '%q ' "$@"
    echo
} >"$ramfs/command"
(cd "$ramfs" && find . | cpio -o -H newc --quiet) >"$work/initrd"

echo "rig: booting $(basename "$vmlinuz") under qemu (TCG)"
log=$work/console
set +e
# SMAP is left out of the emulated processor: under TCG the guest kernel
# faults on it as soon as a 32-bit program (32-bit Wine) runs.
timeout "${QUORVEL_RIG_TIMEOUT:-240}" qemu-system-x86_64 -accel tcg -cpu max,-smap -smp 2 -m "${QUORVEL_RIG_MEMORY:-1536}" \
    -nodefaults -display none \
    -serial stdio -no-reboot -kernel "$vmlinuz" -initrd "$work/initrd" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init" \
    -fsdev local,id=host,path=/,security_model=none,readonly=on,multidevs=remap -device virtio-9p-pci,fsdev=host,mount_tag=host \
    </dev/null 2>&1 | tr -d '\r' | tee "$log"
status=${PIPESTATUS[0]}
set -e
[ "$status" -ne 124 ] || fail "the guest did not finish within ${QUORVEL_RIG_TIMEOUT:-240} s"
grep -q "^rig: board on /dev/ttyGS0" "$log" || fail "the guest did not bring the USB link up"
result=$(sed -n 's/^rig: exit \([0-9]*\)$/\1/p' "$log" | tail -n 1)
[ -n "$result" ] || fail "the guest ended without the command's result (qemu status $status)"
[ "$result" -eq 0 ] || fail "the command failed in the guest (exit $result)"
[ "$summary_needed" = yes ] || exit 0
summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed, [0-9]+ skipped$' "$log" | tail -n 1 || true)
[ -n "$summary" ] || fail "the command printed no summary of its tests"
[ "${summary%% passed*}" -ge 1 ] || fail "no test ran in the guest: $summary"
[[ "$summary" == *" 0 failed,"* ]] || fail "tests failed in the guest: $summary"
