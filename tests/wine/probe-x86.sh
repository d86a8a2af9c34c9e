#!/usr/bin/env bash
# Finds out once per test run whether this machine can start a 32-bit program, and
# writes the verdict for run-x86.sh: "runs", or "cannot: " and the reason. The x86
# runs are skipped in two cases only: the kernel cannot execute i386 programs (some
# cannot, although the i386 packages install), or the loader is missing and
# scripts/setup recorded why it could not install it (a package mirror out of step).
# Anything else that goes wrong with the loader fails the probe, so that the x86
# runs fail rather than pass unseen.
# usage: probe-x86.sh LOADER VERDICT_FILE SETUP_RECORD
# PX71_X86_PROBE_LOADER, when set, names the loader to try instead (to see the other case).
set -u
loader=${PX71_X86_PROBE_LOADER:-$1}
verdict=$2
record=$3
rm -f "$verdict"
if [ ! -e "$loader" ]; then
    if [ -s "$record" ]; then
        echo "cannot: $(head -n 1 "$record")" >"$verdict"
        echo "wine_x86_probe: no 32-bit Wine loader at $loader; $(head -n 1 "$record")"
        exit 0
    fi
    echo "wine_x86_probe: no 32-bit Wine loader at $loader (scripts/setup installs wine32:i386)" >&2
    exit 1
fi
# bash runs the file itself (no fallback to sh, which would read a binary as a script).
out=$("$loader" --version 2>&1)
rc=$?
if [ $rc -eq 0 ] && grep -q '^wine-' <<<"$out"; then
    echo "runs" >"$verdict"
    echo "wine_x86_probe: this machine runs 32-bit programs ($loader: $out)"
    exit 0
fi
if [ $rc -eq 126 ] && grep -q 'Exec format error' <<<"$out"; then
    echo "cannot: this machine cannot run 32-bit programs ($loader: Exec format error)" >"$verdict"
    echo "wine_x86_probe: $(cut -d' ' -f2- "$verdict")"
    exit 0
fi
echo "wine_x86_probe: the 32-bit loader $loader failed (exit $rc): $out" >&2
exit 1
