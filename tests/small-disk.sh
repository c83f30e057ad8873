#!/bin/sh
# Runs a command with QUORVEL_SMALL_DISK naming a file system of SIZE made
# for it alone: a tmpfs in a mount namespace of its own (as root, or through
# a user namespace where the kernel allows one), gone when the command ends.
#   small-disk.sh SIZE COMMAND...
size=$1
shift
dir=$(mktemp -d /tmp/quorvel-small-disk.XXXXXX) || exit 1
trap 'rmdir "$dir"' EXIT
if ! unshare -rm true 2>/dev/null; then
    echo "small-disk.sh: this machine makes no mount namespace (unshare -rm); the case runs without a small disk" >&2
    exec "$@"
fi
unshare -rm sh -c 'mount -t tmpfs -o size="$1" tmpfs "$2" || exit 1; shift 2; QUORVEL_SMALL_DISK=$0 exec "$@"' "$dir" "$size" "$dir" "$@"
