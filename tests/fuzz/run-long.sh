#!/usr/bin/env bash
# Runs every fuzzer for longer than the tests do, one after the other.
#
#   tests/fuzz/run-long.sh [seconds]
#       each for a fixed time (default 300 s) on its kept corpus, printing its final figures;
#   tests/fuzz/run-long.sh --plateau SECONDS [--cap SECONDS] [target ...]
#       each until its edge count (libFuzzer's cov:) has not grown for SECONDS, or for
#       the cap (default 600 s) at most, starting from its seeds alone, then prints a
#       table: executions, edges, features, executions a second, and when the last new
#       edge appeared. The working corpora stay in build/fuzz/tests/fuzz/plateau/.
set -euo pipefail
cd "$(dirname "$0")/../.."

plateau=
cap=600
seconds=300
targets=()
while [ $# -gt 0 ]; do
    case $1 in
    --plateau) plateau=$2; shift 2 ;;
    --cap) cap=$2; shift 2 ;;
    --*) echo "unknown option $1" >&2; exit 2 ;;
    *) if [ -z "$plateau" ]; then seconds=$1; else targets+=("$1"); fi; shift ;;
    esac
done

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
bin=build/fuzz/tests/fuzz
if [ ${#targets[@]} -eq 0 ]; then
    for target in "$bin"/fuzz_*; do [ -x "$target" ] && targets+=("$(basename "$target")"); done
fi

limits() { [ "$1" = fuzz_dispatch ] && echo -max_len=1000 || true; }

if [ -z "$plateau" ]; then
    for name in "${targets[@]}"; do
        corpus=$bin/corpus/$name
        mkdir -p "$corpus"
        echo "=== $name, $seconds s"
        # shellcheck disable=SC2046
        "$bin/$name" -max_total_time="$seconds" -print_final_stats=1 $(limits "$name") "$corpus" "tests/fuzz/seeds/$name" 2>&1 |
            grep -E 'DONE|ERROR|SUMMARY|cov:|stat::number_of_executed_units|stat::peak_rss_mb' || true
    done
    exit 0
fi

# Milliseconds since the epoch, from bash's own clock.
now_ms() { local t=${EPOCHREALTIME/./}; echo $((t / 1000)); }

rows=()
failed=0
for name in "${targets[@]}"; do
    work=$bin/plateau/$name
    rm -rf "$work"
    mkdir -p "$work/corpus"
    log=$work/fuzz.log
    # shellcheck disable=SC2046
    "$bin/$name" -max_total_time="$cap" -print_final_stats=1 $(limits "$name") "$work/corpus" \
        "tests/fuzz/seeds/$name" >"$log" 2>&1 &
    pid=$!
    start=$(now_ms)
    best=-1
    last_new=0
    stopped=cap
    while kill -0 "$pid" 2>/dev/null; do
        sleep 1
        # The newest status line carries the highest edge count so far.
        cov=$(tail -n 20 "$log" | grep -aoE '^#[0-9]+.* cov: [0-9]+' | tail -n 1 | sed 's/.* cov: //') || true
        elapsed=$(($(now_ms) - start))
        if [ -n "$cov" ] && [ "$cov" -gt "$best" ]; then
            best=$cov
            last_new=$elapsed
        elif [ "$best" -ge 0 ] && [ $((elapsed - last_new)) -ge $((plateau * 1000)) ]; then
            stopped=plateau
            kill -INT "$pid" 2>/dev/null || true
            break
        fi
    done
    rc=0
    wait "$pid" || rc=$?
    elapsed=$(($(now_ms) - start))
    # 0: the cap ended it; 72: interrupted at the plateau. Anything else is a finding.
    if [ "$rc" -ne 0 ] && [ "$rc" -ne 72 ]; then
        failed=1
        stopped="FAILED ($rc), see $log"
    fi
    runs=$(grep -a 'stat::number_of_executed_units' "$log" | awk '{print $2}') || true
    [ -n "$runs" ] || runs=$(grep -aoE '^#[0-9]+' "$log" | tail -n 1 | tr -d '#') || true
    runs=${runs:-0}
    last=$(grep -aE '^#[0-9]+.* cov: ' "$log" | tail -n 1)
    edges=$(sed -E 's/.* cov: ([0-9]+).*/\1/' <<<"$last")
    features=$(sed -E 's/.* ft: ([0-9]+).*/\1/' <<<"$last")
    rate=$((runs * 1000 / (elapsed > 0 ? elapsed : 1)))
    rows+=("$(printf '| %s | %s | %s | %s | %s | %s | %s | %s |' "$name" "$runs" "$edges" "$features" "$rate" \
        "$((last_new / 1000))" "$((elapsed / 1000))" "$stopped")")
    echo "=== $name: $runs executions, $edges edges, $features features, $rate/s, last new edge at" \
        "$((last_new / 1000)) s, ran $((elapsed / 1000)) s ($stopped)"
done

echo
echo "Plateau window ${plateau} s, cap ${cap} s per target:"
echo
echo "| target | executions | edges (cov) | features (ft) | exec/s | last new edge at (s) | ran (s) | ended by |"
echo "|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
exit "$failed"
