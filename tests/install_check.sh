#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a desktop expects to find there.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/quorvane share/applications/quorvane.desktop \
         share/icons/hicolor/16x16/apps/quorvane.png share/icons/hicolor/32x32/apps/quorvane.png; do
    [[ -e "$prefix/$f" ]] || { echo "missing: $f"; exit 1; }
done
[[ -x "$prefix/bin/quorvane" ]] || { echo "not executable: bin/quorvane"; exit 1; }
desktop-file-validate "$prefix/share/applications/quorvane.desktop"
for size in 16 32; do
    file "$prefix/share/icons/hicolor/${size}x${size}/apps/quorvane.png" 2>/dev/null \
        | grep -q "${size} x ${size}, 4-bit colormap" \
        || { echo "icon ${size}x${size} is not a ${size}-pixel 16-colour PNG"; exit 1; }
done
echo "installed layout and desktop file are valid"
