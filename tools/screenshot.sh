#!/usr/bin/env bash
# Takes the README's screenshot: the window at its first size (435 x 369) after a check of a
# simulated four-port USB modem (its diagnostic and GPS ports named and left alone, a terminal found
# on each AT port with its stable path), under Xvfb. Needs a build (tools/dev test or tools/dev run)
# and xvfb, imagemagick and xdotool:
#   apt-get install xvfb imagemagick xdotool
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

cmake --build "$root/build" --target quorvane-trial quorvane-simterm >/dev/null
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
# The modem prints the folder of the system's files it plays (sysfs, udev's links and records),
# then its four ports.
"$root/build/tools/quorvane-simterm" --modem >"$work/modem" &
simterm=$!
for _ in $(seq 50); do [[ $(wc -l <"$work/modem") -ge 5 ]] && break; sleep 0.1; done
mapfile -t modem <"$work/modem"

cd "$work"
DISPLAY=$display QT_QPA_PLATFORM=xcb "$root/build/tools/quorvane-trial" \
    --system-root "${modem[0]}" --window "${modem[@]:1}" >"$work/lines" &
trial=$!
# The first check starts three seconds after the window opens; it ends with the advice or not, and
# "Verifica" comes back.
for _ in $(seq 300); do [[ $(grep -c "Percorso stabile" "$work/lines") -ge 2 ]] && break; sleep 0.1; done
sleep 1
window=$(DISPLAY=$display xdotool search --sync --onlyvisible --name '^Quorvane$' | head -n 1)
mkdir -p "$(dirname "$out")"
DISPLAY=$display import -window "$window" "$out"
echo "screenshot written to $out"
