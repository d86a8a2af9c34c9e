#!/usr/bin/env bash
# Prepares the Wine prefix the Windows tests run in (once; later runs reuse it).
# usage: make-prefix.sh WINE64   (the 64-bit loader's path; WINEPREFIX from the environment)
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
WINE=$1
. "$(dirname "$0")/lib.sh"
if [ -f "$WINEPREFIX/system.reg" ]; then
    exit 0
fi
mkdir -p "$WINEPREFIX"
echo "Creating the Wine prefix $WINEPREFIX (a minute or so, once)"
"$WINE" wineboot.exe --init
"$WINESERVER" -w
test -f "$WINEPREFIX/system.reg"
