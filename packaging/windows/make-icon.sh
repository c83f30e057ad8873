#!/usr/bin/env bash
# Makes packaging/windows/quorvel.ico, the Windows programs' icon, from the
# icons the Linux package ships: the sizes Windows asks for (16 to 64 px, and
# 256 px, which ImageMagick stores PNG-compressed), the ones the Linux package
# lacks drawn from its 256 px image. Run again when those icons change.
set -euo pipefail
cd "$(dirname "$0")/../.."
icons=packaging/icons/org.quorvel.Quorvel
convert "$icons-16.png" \( "$icons-256.png" -resize 20x20 \) \( "$icons-256.png" -resize 24x24 \) "$icons-32.png" \
    \( "$icons-256.png" -resize 40x40 \) "$icons-48.png" "$icons-64.png" "$icons-256.png" \
    packaging/windows/quorvel.ico
