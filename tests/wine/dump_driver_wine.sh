#!/usr/bin/env bash
# The dump-driver table under Wine: the kernel-mode stand-in xudump.sys registered with
# Wine's service control manager as a kernel driver and started, the rows for a running
# driver run through the real PX71.dll, the driver stopped, then the rows for a stopped
# one.
# usage: dump_driver_wine.sh WINE BINDIR   (WINEPREFIX and the rest come from the test)
set -u
WINE=$1
BIN=$2
DRIVER=PX71XuDumpStandIn
fails=0
say() { echo "dump_driver_wine: $*"; }
fail() { say "FAIL: $*"; fails=$((fails + 1)); }

. "$(dirname "$0")/lib.sh"
# Wine loads the driver into winedevice.exe, which ends with the prefix's last process:
# one persistent wineserver keeps it for the checks.
fresh_persistent_wineserver
cleanup() {
    "$WINE" sc.exe stop $DRIVER >/dev/null 2>&1
    "$WINE" sc.exe delete $DRIVER >/dev/null 2>&1
    "$WINESERVER" -k >/dev/null 2>&1
}
trap cleanup EXIT

check() {  # check running|stopped
    local out rc
    out=$("$WINE" "$BIN/dump_driver_check.exe" "$1" 2>&1)
    rc=$?
    tr -d '\r' <<<"$out"
    [ $rc -eq 0 ] || fail "the rows for a $1 driver"
}

"$WINE" sc.exe delete $DRIVER >/dev/null 2>&1
said=$(sc_create $DRIVER binPath= "$(windows_path "$BIN/xudump.sys")" type= kernel start= demand) ||
    fail "sc create: $said"
said=$("$WINE" sc.exe start $DRIVER 2>&1) || fail "sc start: $(tr -d '\r' <<<"$said")"
if wait_service_state $DRIVER RUNNING 20; then
    say "driver started: RUNNING"
    check running
else
    fail "driver not RUNNING after start (state: $(service_state $DRIVER))"
fi
"$WINE" sc.exe stop $DRIVER >/dev/null 2>&1
wait_service_state $DRIVER STOPPED 20 && say "driver stopped: STOPPED" ||
    fail "driver not STOPPED after stop (state: $(service_state $DRIVER))"
check stopped

[ $fails -eq 0 ] && say "passed" || say "$fails failures"
exit $((fails > 0))
