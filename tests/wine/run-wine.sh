#!/usr/bin/env bash
# Runs a Windows program under Wine with its output caught in a file, then prints it.
# The wineserver and Wine's own processes outlive the program by seconds and inherit
# its output: handed CTest's pipe, they would keep CTest waiting after every test.
# usage: run-wine.sh LOADER PROGRAM [ARGS...]
set -u
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$@" >"$out" 2>&1
status=$?
cat "$out"
exit $status
