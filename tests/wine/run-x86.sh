#!/usr/bin/env bash
# Runs an x86 Windows program under the 32-bit Wine loader where this machine can
# start 32-bit programs (probe-x86.sh's verdict); where it cannot, says why and exits
# 77, which CTest reports as skipped. The build and the checks of the binaries' tables
# need no execution and run everywhere.
# usage: run-x86.sh VERDICT_FILE LOADER PROGRAM [ARGS...]
set -u
verdict_file=$1
loader=$2
shift 2
if [ ! -f "$verdict_file" ]; then
    echo "run-x86: no verdict from wine_x86_probe in $verdict_file" >&2
    exit 1
fi
verdict=$(cat "$verdict_file")
case $verdict in
runs)
    exec "$(dirname "$0")/run-wine.sh" "$loader" "$@"
    ;;
cannot:*)
    echo "skipped: ${verdict#cannot: }: $(basename "$1") (x86) and PX71.dll (x86) were built (binaries_check reads the DLL's" \
        "export and import tables); it was not run"
    exit 77
    ;;
*)
    echo "run-x86: cannot read the verdict '$verdict'" >&2
    exit 1
    ;;
esac
