#!/bin/sh
# Prepares the Wine prefix the Windows tests run in (once; later runs reuse it).
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
if [ -f "$WINEPREFIX/system.reg" ]; then
    exit 0
fi
mkdir -p "$WINEPREFIX"
echo "Creating the Wine prefix $WINEPREFIX (a minute or so, once)"
/usr/lib/wine/wine64 wineboot.exe --init
wineserver -w
test -f "$WINEPREFIX/system.reg"
