#!/usr/bin/env bash
# Runs every fuzzer for a while (default 300 s each) and prints its final figures.
# Usage: tests/fuzz/run-long.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-300}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
for target in build/fuzz/tests/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus=build/fuzz/tests/fuzz/corpus/$name
    mkdir -p "$corpus"
    limits=()
    [ "$name" = fuzz_dispatch ] && limits=(-max_len=1000)
    echo "=== $name, $seconds s"
    "$target" -max_total_time="$seconds" -print_final_stats=1 "${limits[@]}" "$corpus" "tests/fuzz/seeds/$name" 2>&1 |
        grep -E 'DONE|ERROR|SUMMARY|cov:|stat::number_of_executed_units|stat::peak_rss_mb' || true
done
