#!/usr/bin/env bash
# Takes the README's screenshot: the window after a check that found a simulated terminal,
# under Xvfb. Needs a build (tools/dev test or tools/dev run) and xvfb and imagemagick:
#   apt-get install xvfb imagemagick
# Usage: tools/screenshot.sh [OUTPUT.png]   (default docs/screenshot.png)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${1:-$root/docs/screenshot.png}
work=$(mktemp -d)
cleanup() {
    kill "${trial:-}" "${simterm:-}" "${xvfb:-}" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
"$root/build/tools/quorvane-simterm" --manufacturer SIEMENS >"$work/port" &
simterm=$!
for _ in $(seq 50); do [[ -s "$work/port" ]] && break; sleep 0.1; done
cd "$work"
DISPLAY=$display QT_QPA_PLATFORM=xcb "$root/build/tools/quorvane-trial" --window "$(cat port)" \
    >"$work/lines" &
trial=$!
# The first check starts three seconds after the window opens and takes about three more.
for _ in $(seq 150); do grep -q "Trovato" "$work/lines" && break; sleep 0.1; done
sleep 1
mkdir -p "$(dirname "$out")"
DISPLAY=$display import -window root -crop 435x369+193+165 +repage "$out"
echo "screenshot written to $out"
