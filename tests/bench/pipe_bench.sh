#!/usr/bin/env bash
# Round trips under Wine: PX71Service (registered and started with Wine's service
# control manager) against a bare echo server of the same shape, in the same run.
# usage: pipe_bench.sh WINE BINDIR [COUNT [ROUNDS]]   (WINEPREFIX from the environment)
# Each round times COUNT requests to the echo server, then COUNT to the service, and
# takes their ratio: both sides of a ratio see the same load on the machine. The figure
# is the median of the rounds' ratios, with the middle half of them as its spread.
set -u
WINE=$1
BIN=$2
COUNT=${3:-200}
ROUNDS=${4:-15}
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

"$WINE" "$BIN/pipe_bench.exe" echo $((WARM + ROUNDS * COUNT)) >/dev/null 2>&1 &
echo_server=$!
sleep 1
measure() {  # measure NAME COUNT: prints the ms per round trip
    "$WINE" "$BIN/pipe_bench.exe" client "$1" "$2" 2>&1 | tr -d '\r' | sed -n 's/.*, \([0-9.]*\) ms each/\1/p'
}
"$WINE" "$BIN/pipe_bench.exe" client PX71BenchEcho $WARM >/dev/null 2>&1 || { echo "pipe_bench: no echo server"; exit 1; }
"$WINE" "$BIN/pipe_bench.exe" client PX71Service $WARM >/dev/null 2>&1 || { echo "pipe_bench: no service"; exit 1; }
rows=()
for ((r = 1; r <= ROUNDS; r++)); do
    e=$(measure PX71BenchEcho "$COUNT")
    s=$(measure PX71Service "$COUNT")
    [ -n "$e" ] && [ -n "$s" ] || { echo "pipe_bench: round $r failed"; exit 1; }
    echo "round $r: echo $e ms, service $s ms per round trip"
    rows+=("$e $s")
done
wait $echo_server
# Quartiles by the nearest rank: with 15 rounds, the 4th, 8th and 12th of each, sorted.
quartiles() {  # quartiles < numbers: prints the first quartile, the median, the third
    sort -g | awk '{ v[NR] = $1 } function at(p) { return v[int(p * (NR - 1) + 1.5)] }
                   END { print at(0.25), at(0.5), at(0.75) }'
}
read -r q1 q2 q3 < <(printf '%s\n' "${rows[@]}" | awk '{ print $2 / $1 }' | quartiles)
read -r _ em _ < <(printf '%s\n' "${rows[@]}" | awk '{ print $1 }' | quartiles)
read -r _ sm _ < <(printf '%s\n' "${rows[@]}" | awk '{ print $2 }' | quartiles)
awk -v q1="$q1" -v q2="$q2" -v q3="$q3" -v e="$em" -v s="$sm" -v n="$COUNT" -v r="$ROUNDS" 'BEGIN {
    printf "PX71Service / bare echo server: %.2f, middle half %.2f to %.2f (%d rounds of %d; medians %.3f ms against %.3f ms per round trip)\n",
        q2, q1, q3, r, n, s, e }'
