#!/usr/bin/env bash
# Takes the README's screenshot: the window after a check that found a simulated terminal, played
# as a USB modem with its udev link, under Xvfb, widened (as the user would) until the device and
# stable path lines fit. Needs a build (tools/dev test or tools/dev run) and xvfb, imagemagick and
# xdotool:
#   apt-get install xvfb imagemagick xdotool
# Usage: tools/screenshot.sh [OUTPUT.png]   (default docs/screenshot.png)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${1:-$root/docs/screenshot.png}
# Wide enough for the longest line, the stable path; the height is the window's first.
width=680
work=$(mktemp -d)
cleanup() {
    kill "${trial:-}" "${simterm:-}" "${xvfb:-}" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
"$root/build/tools/quorvane-simterm" --manufacturer QUECTEL >"$work/port" &
simterm=$!
for _ in $(seq 50); do [[ -s "$work/port" ]] && break; sleep 0.1; done
port=$(cat "$work/port")

# The pseudo-terminal as sysfs and udev would show a Quectel EC25's modem port.
system=$work/system
usb=$system/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2
mkdir -p "$usb/1-2:1.2/ttyUSB2/tty/ttyUSB2" "$system/sys/dev/char" "$system/dev/serial/by-id"
ln -s ../.. "$usb/1-2:1.2/ttyUSB2/tty/ttyUSB2/device"
printf '0123456789ABCDEF\n' >"$usb/serial"
printf '2c7c\n' >"$usb/idVendor"
printf '0125\n' >"$usb/idProduct"
printf 'Quectel\n' >"$usb/manufacturer"
printf 'EC25\n' >"$usb/product"
printf '02\n' >"$usb/1-2:1.2/bInterfaceNumber"
read -r major minor < <(stat -L -c '%t %T' "$port")
ln -s ../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.2/ttyUSB2/tty/ttyUSB2 \
    "$system/sys/dev/char/$((16#$major)):$((16#$minor))"
ln -s "../../${port#/dev/}" "$system/dev/serial/by-id/usb-Quectel_EC25_0123456789ABCDEF-if02-port0"

cd "$work"
DISPLAY=$display QT_QPA_PLATFORM=xcb "$root/build/tools/quorvane-trial" \
    --system-root "$system" --window "$port" >"$work/lines" &
trial=$!
# The first check starts three seconds after the window opens and takes about three more.
for _ in $(seq 150); do grep -q "Percorso stabile" "$work/lines" && break; sleep 0.1; done
# Without a window manager the window takes the size it is given; the list takes the width gained.
window=$(DISPLAY=$display xdotool search --sync --onlyvisible --name '^Quorvane$' | head -n 1)
DISPLAY=$display xdotool windowsize "$window" "$width" 369
sleep 1
mkdir -p "$(dirname "$out")"
DISPLAY=$display import -window "$window" "$out"
echo "screenshot written to $out"
