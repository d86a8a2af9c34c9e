#!/usr/bin/env bash
# Line and branch coverage of the deliverables (library/, service/, applet/) by the host
# tests. Prints the per-file tables and fails under the thresholds. Branches that only
# an exception or unreachable code can take are not counted.
# The floor guards against losing tests; it is not a target to write tests for. New code
# is covered by tests of its behaviour, not by tests that chase its branches.
# Usage: tests/coverage/check.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
min_lines=99
min_branches=95

source_dir=$1 build_dir=$2
if ! command -v gcovr >/dev/null; then
    echo "gcovr is not installed (scripts/setup installs it)" >&2
    exit 1
fi
data=$build_dir/coverage.json
cd "$build_dir"
gcovr --root "$source_dir" \
      --filter "$source_dir/library/" --filter "$source_dir/service/" --filter "$source_dir/applet/" \
      --exclude-throw-branches --exclude-unreachable-branches \
      --json "$data" "$build_dir"
report() { gcovr --root "$source_dir" --add-tracefile "$data" "$@"; }
echo "=== lines"
report --txt
echo "=== branches"
report --txt --branches
# The summary's own text report goes to a file of the build: gcovr replaces the file it
# writes, and run as root it would replace /dev/null with a plain file.
report --print-summary --fail-under-line "$min_lines" --fail-under-branch "$min_branches" \
       --txt "$build_dir/coverage-summary.txt" || {
    echo "coverage is under its thresholds: lines $min_lines%, branches $min_branches%" >&2
    exit 1
}
