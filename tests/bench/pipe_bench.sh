#!/usr/bin/env bash
# Round trips under Wine: PX71Service (registered and started with Wine's service
# control manager) against a bare echo server of the same shape, in the same run.
# usage: pipe_bench.sh WINE BINDIR [COUNT]   (WINEPREFIX from the environment)
set -u
WINE=$1
BIN=$2
COUNT=${3:-500}
WARM=20
wineserver -p
cleanup() {
    "$WINE" sc.exe stop PX71Service >/dev/null 2>&1
    "$WINE" sc.exe delete PX71Service >/dev/null 2>&1
    wineserver -k >/dev/null 2>&1
}
trap cleanup EXIT
exe=$("$WINE" winepath -w "$BIN/PX71Service.exe" 2>/dev/null | tr -d '\r')
"$WINE" sc.exe delete PX71Service >/dev/null 2>&1
"$WINE" sc.exe create PX71Service binPath= "$exe" type= own start= demand >/dev/null 2>&1
"$WINE" sc.exe start PX71Service >/dev/null 2>&1
for ((i = 0; i < 100; i++)); do
    "$WINE" sc.exe query PX71Service 2>/dev/null | grep -q RUNNING && break
    sleep 0.1
done

"$WINE" "$BIN/pipe_bench.exe" echo $((2 * (COUNT + WARM))) >/dev/null 2>&1 &
echo_server=$!
sleep 1
run() {  # run NAME: warm up, then measure; prints the ms per round trip
    "$WINE" "$BIN/pipe_bench.exe" client "$1" $WARM >/dev/null 2>&1 || return 1
    "$WINE" "$BIN/pipe_bench.exe" client "$1" "$COUNT" 2>&1 | tr -d '\r' | tee /dev/stderr |
        sed -n 's/.*, \([0-9.]*\) ms each/\1/p'
}
echo_ms=$(run PX71BenchEcho) || { echo "pipe_bench: the echo server did not answer"; exit 1; }
service_ms=$(run PX71Service) || { echo "pipe_bench: the service did not answer"; exit 1; }
# The echo server's second half, so that it ends.
"$WINE" "$BIN/pipe_bench.exe" client PX71BenchEcho $((COUNT + WARM)) >/dev/null 2>&1
wait $echo_server
awk -v s="$service_ms" -v e="$echo_ms" \
    'BEGIN { printf "PX71Service / bare echo server: %.2f (%.3f ms against %.3f ms per round trip)\n", s / e, s, e }'
