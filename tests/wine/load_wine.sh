#!/usr/bin/env bash
# Load under Wine: REQUESTS requests from 4 clients at once against PX71Service (as
# Wine's service control manager runs it), then one more request; and two processes
# writing RECORDS log records each into one PX71.LOG, every record found exactly once.
# usage: load_wine.sh WINE BINDIR [REQUESTS] [RECORDS]   (WINEPREFIX from the environment)
set -u
WINE=$1
BIN=$(cd "$2" && pwd)
REQUESTS=${3:-10000}
RECORDS=${4:-2000}
fails=0
say() { echo "load_wine: $*"; }
fail() { say "FAIL: $*"; fails=$((fails + 1)); }

. "$(dirname "$0")/lib.sh"
fresh_persistent_wineserver
work=$(mktemp -d)
cleanup() {
    "$WINE" sc.exe stop PX71Service >/dev/null 2>&1
    "$WINE" sc.exe delete PX71Service >/dev/null 2>&1
    "$WINESERVER" -k >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

exe=$(windows_path "$BIN/PX71Service.exe")
"$WINE" sc.exe delete PX71Service >/dev/null 2>&1
said=$(sc_create PX71Service binPath= "$exe" type= own start= demand) || fail "sc create: $said"
said=$("$WINE" sc.exe start PX71Service 2>&1) || fail "sc start: $(tr -d '\r' <<<"$said")"
for ((i = 0; i < 200; i++)); do
    "$WINE" sc.exe query PX71Service 2>/dev/null | grep -q RUNNING && break
    sleep 0.1
done

out=$("$WINE" "$BIN/load_check.exe" clients "$REQUESTS" 4 2>&1)
rc=$?
out=$(tr -d '\r' <<<"$out")
echo "$out" | tail -5
[ $rc -eq 0 ] || fail "not every request was answered with its own record"
after=$("$WINE" "$BIN/load_check.exe" clients 1 1 2>&1 | tr -d '\r')
echo "$after" | grep -q "1 answered" && say "the service still answers" || fail "no answer after the load: $after"

# The log: its own folder, so that no other test's PX71.LOG is in the way.
cp "$BIN/load_check.exe" "$BIN/PX71.dll" "$work/"
for dll in "$BIN"/*.dll; do cp -n "$dll" "$work/" 2>/dev/null; done
"$WINE" "$work/load_check.exe" log "$RECORDS" first >"$work/first.out" 2>&1 &
one=$!
"$WINE" "$work/load_check.exe" log "$RECORDS" second >"$work/second.out" 2>&1
wait $one
cat "$work/first.out" "$work/second.out" | tr -d '\r'
(cd "$work" && "$WINE" "$BIN/px71log.exe" PX71.LOG 2>&1) | tr -d '\r' | grep -E '^(first|second) [0-9]{5}$' | sort >"$work/records"
expected=$(for tag in first second; do for ((i = 0; i < RECORDS; i++)); do printf '%s %05d\n' "$tag" "$i"; done; done | sort)
if [ "$(cat "$work/records")" = "$expected" ]; then
    say "log: $((2 * RECORDS)) records, each exactly once"
else
    fail "log: $(wc -l <"$work/records") records read back, $(sort "$work/records" | uniq -d | wc -l) twice, expected $((2 * RECORDS)) once each"
fi
[ $fails -eq 0 ] && say "pass" || say "$fails failures"
exit $fails
