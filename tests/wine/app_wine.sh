#!/usr/bin/env bash
# The main program as a person meets it, in a Wine prefix of its own on a virtual
# display: the package installed quietly, the filter driver's key given two window
# lengths, then the Control Panel item's double click; app_check.exe finds the window on
# its settings page and photographs each page into OUTDIR (settings.png, slot.png,
# diagnostics.png); then the program alone at 144 DPI. Without Xvfb the test is skipped
# (exit 77), with the reason. Given the folder of the dump driver's stand-in (xudump.sys
# and dump_driver_check.exe), the stand-in runs meanwhile and must not have been opened:
# the program asks the service for the slot and never opens the driver itself.
# usage: app_wine.sh WINE MSI APP_CHECK OUTDIR [DRIVER_DIR]   (WINEPREFIX from the test)
set -u
WINE=$1 msi=$2 check=$3 out=$4 driver=${5:-}
: "${WINEPREFIX:?WINEPREFIX must name the prefix of this test}"
. "$(dirname "$0")/lib.sh"
say() { echo "app_wine: $*"; }

if ! command -v Xvfb >/dev/null; then
    echo "skipped: no virtual display: Xvfb is not installed (scripts/setup installs the package xvfb)"
    exit 77
fi
# A display nobody holds.
display=
for n in $(seq 71 99); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=:$n; break; fi
done
[ -n "$display" ] || { say "FAIL: no free X display number from :71 to :99"; exit 1; }
Xvfb "$display" -screen 0 1600x1200x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() {
    "$WINESERVER" -k >/dev/null 2>&1
    kill "$xvfb" 2>/dev/null
    wait "$xvfb" 2>/dev/null
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
for ((i = 0; i < 100; i++)); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
export DISPLAY=$display

"$WINESERVER" -k >/dev/null 2>&1
rm -rf "$WINEPREFIX" && mkdir -p "$WINEPREFIX"
"$WINE" wineboot.exe --init >/dev/null 2>&1
"$WINESERVER" -w
"$WINESERVER" -p >/dev/null 2>&1 </dev/null
"$WINE" msiexec.exe /i "$(windows_path "$msi")" /qn || { say "FAIL: msiexec /i exit $?"; exit 1; }
wait_service_state PX71Service RUNNING 30 || say "PX71Service is not RUNNING: the pages say so"
# The filter driver's key, as its own installation leaves it: no FilePathName, so the
# Control Panel item starts the program at its default path.
key='HKLM\SYSTEM\CurrentControlSet\Services\PX711'
"$WINE" reg.exe add "$key" /v Oz888Len /t REG_DWORD /d 0x400000 /f >/dev/null 2>&1 &&
    "$WINE" reg.exe add "$key" /v USBLen /t REG_DWORD /d 0x100000 /f >/dev/null 2>&1 ||
    { say "FAIL: reg add $key"; exit 1; }

# Wine's own desktop, of a size the pictures and the window fit in.
"$WINE" reg.exe add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1 &&
    "$WINE" reg.exe add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x640 /f >/dev/null 2>&1 ||
    { say "FAIL: reg add the virtual desktop"; exit 1; }

stand_in=PX71XuDumpStandIn
if [ -n "$driver" ]; then
    sc_create $stand_in binPath= "$(windows_path "$driver/xudump.sys")" type= kernel start= demand >/dev/null &&
        "$WINE" sc.exe start $stand_in >/dev/null 2>&1 && wait_service_state $stand_in RUNNING 20 ||
        { say "FAIL: the dump driver's stand-in did not start"; exit 1; }
fi

mkdir -p "$out"
LANG=C "$WINE" explorer.exe /desktop=Default,800x640 "$(windows_path "$check")" 'C:\Program Files\PX71\PX71ResourceSetting.cpl' \
    "$(windows_path "$out")" 'C:\Program Files\PX71\PX71 HotPlug Tool\PX71.exe' 2>&1 | tr -d '\r' >"$out/run.txt"
cat "$out/run.txt"
ls "$out"/*.png >/dev/null 2>&1 && say "pictures: $(cd "$out" && ls *.png | tr '\n' ' ')"
opened=
if [ -n "$driver" ]; then
    opened=$("$WINE" "$driver/dump_driver_check.exe" opens 2>&1 | tr -d '\r')
    say "the dump driver's stand-in: $opened"
    "$WINE" sc.exe stop $stand_in >/dev/null 2>&1
fi

# The same program at 144 DPI, which Wine takes when its processes start.
"$WINESERVER" -k >/dev/null 2>&1
"$WINESERVER" -w
"$WINE" reg.exe add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1 &&
    "$WINE" reg.exe add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1200x960 /f >/dev/null 2>&1 ||
    { say "FAIL: reg add LogPixels"; exit 1; }
"$WINESERVER" -k >/dev/null 2>&1
"$WINESERVER" -w
LANG=C "$WINE" explorer.exe /desktop=Default,1200x960 "$(windows_path "$check")" --dpi \
    'C:\Program Files\PX71\PX71 HotPlug Tool\PX71.exe' "$(windows_path "$out")" 2>&1 | tr -d '\r' >"$out/dpi.txt"
sed 's/^app_check: /app_check at 144 DPI: /' "$out/dpi.txt"
# Explorer does not pass on its program's exit code: the verdicts are the programs' last lines.
if [ -n "$driver" ] && [ "$opened" != "opens before this one: 0" ]; then
    say "FAIL: the dump driver was opened while the program ran"
elif grep -qx 'app_check: passed' "$out/run.txt" && grep -qx 'app_check: passed' "$out/dpi.txt"; then
    say "passed, at 96 and at 144 DPI"
    exit 0
fi
say "FAIL"
exit 1
