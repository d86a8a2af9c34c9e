#!/usr/bin/env bash
# PX71Service under Wine: registered with Wine's service control manager, started,
# driven with px71ctl.exe, queried, stopped; every command in its friendly form (Wine
# has no adapter: the device commands find nothing, the settings land in Wine's
# registry, the report in PX71.LOG beside the service); then three clients that
# misbehave, each followed by a normal request that must be answered within the service's
# bound for that kind of client and 2 seconds more.
# usage: service_wine.sh WINE BINDIR   (WINEPREFIX and the rest come from the test)
set -u
WINE=$1
BIN=$2
fails=0
say() { echo "service_wine: $*"; }
fail() { say "FAIL: $*"; fails=$((fails + 1)); }

. "$(dirname "$0")/lib.sh"
# A Wine service ends with the wineserver: keep one running for all the steps.
fresh_persistent_wineserver
KEY='HKLM\SYSTEM\CurrentControlSet\Services\PX711'
cleanup() {
    "$WINE" sc.exe stop PX71Service >/dev/null 2>&1
    "$WINE" sc.exe delete PX71Service >/dev/null 2>&1
    "$WINE" reg.exe delete "$KEY" /f >/dev/null 2>&1
    "$WINESERVER" -k >/dev/null 2>&1
}
trap cleanup EXIT

state() { service_state PX71Service; }
wait_state() { wait_service_state PX71Service "$@"; }  # wait_state STATE SECONDS
ms_now() { date +%s%3N; }

# The service runs from a folder of its own, so the PX71.LOG beside it is its alone.
SVC=$BIN/service_wine
rm -rf "$SVC" && mkdir -p "$SVC" && cp "$BIN/PX71Service.exe" "$BIN/PX71.dll" "$SVC/" || fail "service folder"
exe=$(windows_path "$SVC/PX71Service.exe")
"$WINE" sc.exe delete PX71Service >/dev/null 2>&1
said=$(sc_create PX71Service binPath= "$exe" type= own start= demand) || fail "sc create: $said"
said=$("$WINE" sc.exe start PX71Service 2>&1) || fail "sc start: $(tr -d '\r' <<<"$said")"
wait_state RUNNING 20 && say "started: RUNNING" || fail "not RUNNING after start (state: $(state))"

# A request answered: every field as sent, Result kept for a code the table lacks.
out=$("$WINE" "$BIN/px71ctl.exe" raw --Command 16 --Result 7 --CardIndex 3 2>&1)
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

# Every command in its friendly form: the exit code, and the answer in words.
ctl() {  # ctl EXIT ARGUMENTS...; the output stays in $out for expect
    local want=$1 rc
    shift
    out=$("$WINE" "$BIN/px71ctl.exe" "$@" 2>&1)
    rc=$?
    out=$(tr -d '\r' <<<"$out")
    what="px71ctl $*"
    echo "\$ $what"
    echo "$out"
    [ $rc -eq "$want" ] || fail "$what: exit $rc, expected $want"
}
expect() { grep -qE "$1" <<<"$out" || fail "$what: no line matching '$1'"; }
raw='\(Result -?[0-9]+, LastError [0-9]+\)'
for kind in cardbus ehci ohci; do
    ctl 3 names $kind 0
    expect "^$kind controller 0, card 0: no such card.* $raw\$"
    expect "^0 cards below $kind controller 0\$"
    ctl 3 eject $kind 0 0
    expect "^$kind controller 0, card 0: not ejected: no such card, or its eject was vetoed or failed \\(files open on a medium\\) $raw\$"
done
ctl 3 names sata 0
expect "^sata controller 0, card 0: no such disk $raw\$"
ctl 3 eject sata 0 1
expect "^sata controller 0, card 1: not removed: no such disk.* $raw\$"
ctl 3 slot 6 --link off --check-volumes
expect "^slot bridge on bus 6: the link was not switched .* $raw\$"
# The slot command: Wine's tree holds no adapter, so there is no slot to read.
ctl 3 slot
expect "^no adapter slot found: no adapter, or the dump driver .* $raw\$"
ctl 3 check
expect "^device check 0x00: nothing found.* $raw\$"
ctl 3 filters add
expect "^no adapter found .* $raw\$"
ctl 0 reset-bridge
expect "^bridge restart requested .* $raw\$"

# The settings land in Wine's registry, in the filter driver's key that the test makes.
dword() { "$WINE" reg.exe query "$KEY" /v "$1" 2>/dev/null | tr -d '\r' | awk -v n="$1" '$1 == n && $2 == "REG_DWORD" {print $3}'; }
"$WINE" reg.exe delete "$KEY" /f >/dev/null 2>&1
"$WINE" reg.exe add "$KEY" /f >/dev/null 2>&1 || fail "reg add $KEY"
ctl 0 sizes --port 1 --oz888 2 --sxs 3 --a3132 4 --b3132 5 --usb 6 --start 0xFE000000 --end 0xFEFFFFFF \
    --payload 9 --sata-ssc 10
expect "^settings stored under HKLM.SYSTEM.CurrentControlSet.Services.PX711 $raw\$"
for pair in PortLen=0x1 Oz888Len=0x2 SxsLen=0x3 A3132Len=0x4 B3132Len=0x5 USBLen=0x6 StartAdrs=0xfe000000 \
    EndAdrs=0xfeffffff PayloadSize=0x9 SataSSC=0xa; do
    got=$(dword "${pair%%=*}")
    [ "${got,,}" = "${pair#*=}" ] || fail "registry ${pair%%=*}: '$got', expected ${pair#*=}"
done
ctl 0 sizes --defaults --oz888 0x20 --sxs 0x30 --a3132 0x40 --b3132 0x50 --usb 0x60
expect "^defaults stored under HKLM.SYSTEM.CurrentControlSet.Services.PX711 $raw\$"
for pair in Oz888LenDef=0x20 SxsLenDef=0x30 A3132LenDef=0x40 B3132LenDef=0x50 USBLenDef=0x60 Oz888Len=0x2 \
    EndAdrs=0xfeffffff; do
    got=$(dword "${pair%%=*}")
    [ "${got,,}" = "${pair#*=}" ] || fail "registry ${pair%%=*}: '$got', expected ${pair#*=}"
done
say "settings in Wine's registry: checked"

# The report lands in PX71.LOG beside PX71Service.exe, with the settings just stored.
rm -f "$SVC/PX71.LOG"
ctl 0 report "Wine report"
expect "^report \"Wine report\" written into PX71.LOG"
if [ -f "$SVC/PX71.LOG" ]; then
    log=$("$WINE" "$BIN/px71log.exe" --report "$(windows_path "$SVC/PX71.LOG")" 2>&1 | tr -d '\r')
    echo "$log"
    grep -qx 'Wine report' <<<"$log" || fail "report: no heading 'Wine report'"
    grep -A1 -x 'Wine report' <<<"$log" | tail -1 | grep -qE '^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}$' ||
        fail "report: no date and time below the heading"
    for line in Registry Oz888Len:0x000002 SxsLen:0x000003 A3132Len:0x000004 B3132Len:0x000005 USBLen:0x000006 \
        PortLen:0x000001 StartAdrs:0xfe000000 EndAdrs:0xfeffffff; do
        grep -qx "$line" <<<"$log" || fail "report: no line '$line'"
    done
    say "report in $SVC/PX71.LOG: checked"
else
    fail "no PX71.LOG beside PX71Service.exe"
fi

# Without the key nothing is stored, and the form says so.
"$WINE" reg.exe delete "$KEY" /f >/dev/null 2>&1
ctl 3 sizes --port 1 --oz888 2 --sxs 3 --a3132 4 --b3132 5 --usb 6 --start 7 --end 8 --payload 9 --sata-ssc 10
expect "^settings not stored, or only in part: .* $raw\$"
[ -z "$(dword PortLen)" ] || fail "the key came back"

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
    "$WINE" "$BIN/px71ctl.exe" raw --Command 16 --Result 9 --timeout 5000 >"$BIN/after_$mode.log" 2>&1
    rc=$?
    took=$(($(ms_now) - start))
    wait $hostile
    hrc=$?
    say "$(tr -d '\r' <"$BIN/hostile_$mode.log" | tail -1)"
    say "after $mode: px71ctl exit $rc in $took ms"
    [ $rc -eq 0 ] && grep -q 'Result     9' "$BIN/after_$mode.log" || fail "request after $mode not answered"
    # The reply waits 3000 ms for its reader, a request 1000 ms for its bytes.
    limit=3000
    [ "$mode" = noread ] && limit=5000
    [ $took -lt $limit ] || fail "request after $mode took $took ms"
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
