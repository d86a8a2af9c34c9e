#!/usr/bin/env bash
# The idle cost of the installed service under Wine: the package installed into a fresh
# prefix, then the system calls of PX71Service.exe's process counted by strace for 60 s
# while no client comes; with --control, one request (px71ctl check) half-way, to show
# that the count sees the service's work. Not a test: a measurement (docs/measurements.md).
# usage: tests/bench/idle_wine.sh MSI [--control]   (needs strace)
set -u
msi=$1 control=${2:-}
command -v strace >/dev/null || { echo "idle_wine: strace is not installed (apt-get install strace)"; exit 2; }
export WINEPREFIX=${WINEPREFIX:-$(mktemp -d)/prefix} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
WINE=/usr/lib/wine/wine64
. "$(dirname "$0")/../wine/lib.sh"
trap '"$WINESERVER" -k >/dev/null 2>&1; rm -rf "$WINEPREFIX"' EXIT
mkdir -p "$WINEPREFIX"
"$WINE" wineboot.exe --init >/dev/null 2>&1
"$WINESERVER" -w
"$WINESERVER" -p >/dev/null 2>&1 </dev/null
"$WINE" msiexec.exe /i "$(windows_path "$msi")" /qn || { echo "idle_wine: msiexec /i failed"; exit 1; }
wait_service_state PX71Service RUNNING 30 || { echo "idle_wine: PX71Service is not RUNNING"; exit 1; }
sleep 5  # past the start
pid=$(pgrep -f 'PX71Service.exe' | head -1)
[ -n "$pid" ] || { echo "idle_wine: no PX71Service.exe process"; exit 1; }
if [ "$control" = --control ]; then
    (sleep 30 && "$WINE" 'C:\Program Files\PX71\px71ctl.exe' check >/dev/null 2>&1) &
fi
counts=$(mktemp)
timeout -s INT 60 strace -f -c -p "$pid" -o "$counts" 2>/dev/null
total=$(awk '$NF == "total" {print $4}' "$counts")
echo "idle_wine: ${total:-0} system calls in 60 s${control:+ (one request half-way)}"
cat "$counts"
rm -f "$counts"
