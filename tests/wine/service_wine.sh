#!/usr/bin/env bash
# PX71Service under Wine: registered with Wine's service control manager, started,
# driven with px71ctl.exe, queried, stopped; then three clients that misbehave, each
# followed by a normal request that must be answered within 3 seconds.
# usage: service_wine.sh WINE BINDIR   (WINEPREFIX and the rest come from the test)
set -u
WINE=$1
BIN=$2
fails=0
say() { echo "service_wine: $*"; }
fail() { say "FAIL: $*"; fails=$((fails + 1)); }

# A Wine service ends with the wineserver: keep one running for all the steps.
wineserver -p
cleanup() {
    "$WINE" sc.exe stop PX71Service >/dev/null 2>&1
    "$WINE" sc.exe delete PX71Service >/dev/null 2>&1
    wineserver -k >/dev/null 2>&1
}
trap cleanup EXIT

state() { "$WINE" sc.exe query PX71Service 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}'; }
wait_state() {  # wait_state STATE SECONDS
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        [ "$(state)" = "$1" ] && return 0
        sleep 0.1
    done
    return 1
}
ms_now() { date +%s%3N; }

exe=$("$WINE" winepath -w "$BIN/PX71Service.exe" 2>/dev/null | tr -d '\r')
"$WINE" sc.exe delete PX71Service >/dev/null 2>&1
"$WINE" sc.exe create PX71Service binPath= "$exe" type= own start= demand >/dev/null 2>&1 ||
    fail "sc create"
"$WINE" sc.exe start PX71Service >/dev/null 2>&1 || fail "sc start"
wait_state RUNNING 20 && say "started: RUNNING" || fail "not RUNNING after start (state: $(state))"

# A request answered: every field as sent, Result kept for a code the table lacks.
out=$("$WINE" "$BIN/px71ctl.exe" raw --Command 15 --Result 7 --CardIndex 3 2>&1)
rc=$?
out=$(tr -d '\r' <<<"$out")
echo "$out"
[ $rc -eq 0 ] && grep -q '^Result     7$' <<<"$out" || fail "raw request not answered as sent (rc $rc)"
# Each kind of request: every subcommand is answered (no command runs a library function yet).
for cmd in add-filter "set-status --Bus 6" "set-size --EndAdrs 0" "write-log --LogTitle Wine" reset-bridge \
    "stop-3132-card" "stop-cardbus-card" "stop-ehci-card" "stop-ohci-card" "cardbus-card-name" \
    "ehci-card-name" "ohci-card-name" "3132-card-name" check-device; do
    # shellcheck disable=SC2086
    "$WINE" "$BIN/px71ctl.exe" $cmd >/dev/null 2>&1 || fail "px71ctl $cmd not answered"
done
[ "$(state)" = RUNNING ] && say "still RUNNING after the requests" || fail "state after requests: $(state)"

# The pipe's access list as Windows (here Wine) keeps it.
acl=$("$WINE" "$BIN/pipe_acl_check.exe" 2>&1)
rc=$?
echo "$acl" | tr -d '\r'
[ $rc -eq 0 ] || fail "the pipe's access list"

# Clients that misbehave, each followed by a normal request.
for mode in silent short noread; do
    "$WINE" "$BIN/hostile_client.exe" $mode >"$BIN/hostile_$mode.log" 2>&1 &
    hostile=$!
    for ((i = 0; i < 50; i++)); do grep -q connected "$BIN/hostile_$mode.log" && break; sleep 0.1; done
    [ "$mode" = noread ] && for ((i = 0; i < 50; i++)); do grep -q 'not reading' "$BIN/hostile_$mode.log" && break; sleep 0.1; done
    start=$(ms_now)
    "$WINE" "$BIN/px71ctl.exe" raw --Command 15 --Result 9 --timeout 5000 >"$BIN/after_$mode.log" 2>&1
    rc=$?
    took=$(($(ms_now) - start))
    wait $hostile
    hrc=$?
    say "$(tr -d '\r' <"$BIN/hostile_$mode.log" | tail -1)"
    say "after $mode: px71ctl exit $rc in $took ms"
    [ $rc -eq 0 ] && grep -q 'Result     9' "$BIN/after_$mode.log" || fail "request after $mode not answered"
    [ $took -lt 3000 ] || fail "request after $mode took $took ms"
    [ $hrc -eq 0 ] || fail "$mode client: $(cat "$BIN/hostile_$mode.log")"
done

"$WINE" sc.exe stop PX71Service >/dev/null 2>&1
wait_state STOPPED 20 && say "stopped: STOPPED" || fail "not STOPPED after stop (state: $(state))"
out=$("$WINE" "$BIN/px71ctl.exe" check-device --timeout 500 2>&1)
rc=$?
out=$(tr -d '\r' <<<"$out")
[ $rc -eq 1 ] && grep -q 'not running' <<<"$out" || fail "px71ctl with the service stopped: rc $rc: $out"

[ $fails -eq 0 ] && say "passed" || say "$fails failures"
exit $((fails > 0))
