#!/usr/bin/env bash
# Round trips under Wine: PX71Service (registered and started with Wine's service
# control manager) against a bare echo server of the same shape, in the same run.
# usage: pipe_bench.sh WINE BINDIR [COUNT]   (WINEPREFIX from the environment)
set -u
WINE=$1
BIN=$2
COUNT=${3:-500}
WARM=20
. "$(dirname "$0")/../wine/lib.sh"
"$WINESERVER" -p
cleanup() {
    "$WINE" sc.exe stop PX71Service >/dev/null 2>&1
    "$WINE" sc.exe delete PX71Service >/dev/null 2>&1
    "$WINESERVER" -k >/dev/null 2>&1
}
trap cleanup EXIT
exe=$(windows_path "$BIN/PX71Service.exe")
"$WINE" sc.exe delete PX71Service >/dev/null 2>&1
"$WINE" sc.exe create PX71Service binPath= "$exe" type= own start= demand >/dev/null 2>&1
"$WINE" sc.exe start PX71Service >/dev/null 2>&1
for ((i = 0; i < 100; i++)); do
    "$WINE" sc.exe query PX71Service 2>/dev/null | grep -q RUNNING && break
    sleep 0.1
done

ROUNDS=5
"$WINE" "$BIN/pipe_bench.exe" echo $((WARM + ROUNDS * COUNT)) >/dev/null 2>&1 &
echo_server=$!
sleep 1
measure() {  # measure NAME COUNT: prints the ms per round trip
    "$WINE" "$BIN/pipe_bench.exe" client "$1" "$2" 2>&1 | tr -d '\r' | sed -n 's/.*, \([0-9.]*\) ms each/\1/p'
}
"$WINE" "$BIN/pipe_bench.exe" client PX71BenchEcho $WARM >/dev/null 2>&1 || { echo "pipe_bench: no echo server"; exit 1; }
"$WINE" "$BIN/pipe_bench.exe" client PX71Service $WARM >/dev/null 2>&1 || { echo "pipe_bench: no service"; exit 1; }
# Rounds taken in turn, so that both see the same load on the machine.
echo_all=() service_all=()
for ((r = 1; r <= ROUNDS; r++)); do
    e=$(measure PX71BenchEcho "$COUNT")
    s=$(measure PX71Service "$COUNT")
    [ -n "$e" ] && [ -n "$s" ] || { echo "pipe_bench: round $r failed"; exit 1; }
    echo "round $r: echo $e ms, service $s ms per round trip"
    echo_all+=("$e") service_all+=("$s")
done
wait $echo_server
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
e=$(median "${echo_all[@]}")
s=$(median "${service_all[@]}")
awk -v s="$s" -v e="$e" -v n="$COUNT" -v r="$ROUNDS" 'BEGIN {
    printf "PX71Service / bare echo server: %.2f (median of %d rounds of %d: %.3f ms against %.3f ms per round trip)\n",
        s / e, r, n, s, e }'
