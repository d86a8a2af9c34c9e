#!/usr/bin/env bash
# scripts/setup's decisions, and the x86 probe's reading of them, with apt-get, dpkg,
# sudo and sleep replaced by stand-ins on PATH: no network, no root, no package touched.
# Each row sets up what is installed and what apt fails at, runs setup in a copy of the
# tree, and checks its exit, the apt calls it made, what it said and what it left for
# the x86 probe.
# usage: setup_test.sh SOURCE_DIR
set -u
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
cat >"$work/bin/apt-get" <<'STANDIN'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STATE/calls"
if [ "$1" = update ]; then
    left=$(cat "$STATE/update-fails")
    [ "$left" = 0 ] && exit 0
    [ "$left" = always ] || echo $((left - 1)) >"$STATE/update-fails"
    echo "E: Failed to fetch .../binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100
fi
shift
dry=0 packages=()
for a; do case $a in -s) dry=1 ;; -*) ;; *) packages+=("$a") ;; esac; done
for p in "${packages[@]}"; do
    if grep -qxF "$p" "$STATE/broken"; then
        echo "The following packages have unmet dependencies:"
        echo " lib-of-$p : Depends: part-of-$p but it is not installable"
        echo "E: Unable to correct problems, you have held broken packages."
        exit 100
    fi
done
[ $dry = 1 ] || printf '%s\n' "${packages[@]}" >>"$STATE/installed"
STANDIN
cat >"$work/bin/dpkg" <<'STANDIN'
#!/usr/bin/env bash
case $1 in
-s) ! grep -qxF -e "-$2" "$STATE/installed" && grep -qxF -e "$2" -e '*' "$STATE/installed" ;;
--print-foreign-architectures) cat "$STATE/arches" ;;
--add-architecture) echo "dpkg $*" >>"$STATE/calls" && echo "$2" >>"$STATE/arches" ;;
esac
STANDIN
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
printf '#!/bin/sh\necho "sleep $*" >>"$STATE/calls"\n' >"$work/bin/sleep"
chmod +x "$work/bin/"*

failures=0
# row NAME MODE INSTALLED UPDATE_FAILS BROKEN EXIT CALLS SAID RECORD
#   INSTALLED: packages already there ('*' for all, '-NAME' for all but NAME);
#   BROKEN: packages apt cannot install;
#   CALLS, SAID and RECORD are extended regular expressions that the calls made (one
#   line), setup's output and build/setup-x86.txt must match ('^$': nothing at all).
row() {
    local name=$1 mode=$2 installed=$3 update_fails=$4 broken=$5 want_exit=$6 want_calls=$7 want_said=$8 want_record=$9
    local tree=$work/tree-$RANDOM state=$work/state-$RANDOM got_exit calls said record
    mkdir -p "$tree/scripts" "$tree/build" "$state"
    cp "$source_dir/scripts/setup" "$tree/scripts/setup"
    echo "setup could not install wine32:i386: an old reason" >"$tree/build/setup-x86.txt"
    tr ' ' '\n' <<<"$installed" >"$state/installed"
    tr ' ' '\n' <<<"$broken" >"$state/broken"
    echo "$update_fails" >"$state/update-fails"
    : >"$state/arches" && : >"$state/calls"
    said=$(PATH="$work/bin:$PATH" STATE=$state CI=true "$tree/scripts/setup" $mode 2>&1)
    got_exit=$?
    calls=$(tr '\n' ';' <"$state/calls")
    record=$(cat "$tree/build/setup-x86.txt" 2>/dev/null)
    local bad=""
    [ "$got_exit" = "$want_exit" ] || bad+=" exit $got_exit, not $want_exit;"
    grep -Eq -- "$want_calls" <<<"$calls" || bad+=" calls '$calls' do not match '$want_calls';"
    if [ "$want_said" = '^$' ]; then
        [ -z "$said" ] || bad+=" output where none was expected;"
    else
        grep -Ezq -- "$want_said" <<<"$said" || bad+=" output does not match '$want_said';"
    fi
    grep -Eq -- "$want_record" <<<"$record" || bad+=" record '$record' does not match '$want_record';"
    if [ -n "$bad" ]; then
        echo "FAIL $name:$bad"
        echo "$said" | sed 's/^/    | /'
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}

row "all there, CI or not: no list touched, an old reason cleared" \
    "" '*' 0 "" 0 '^$' '^$' '^$'
row "an update that fails once is tried again" \
    "" '* -gcovr' 1 "" 0 \
    '^apt-get update -q;sleep 5;apt-get update -q;apt-get install -y -q --no-install-recommends gcovr' \
    'installing gcovr' '^$'
row "an update that keeps failing: three tries, then on with the lists apt has" \
    "" '* -gcovr' always "" 0 \
    '^(apt-get update -q;sleep 5;){2}apt-get update -q;apt-get install .* gcovr;$' \
    'apt-get update failed 3 times \(E: Some index files failed to download.*\); going on' '^$'
row "wine32:i386 not installable: the rest installed, the reason recorded for the probe" \
    "" '* -gcovr -wine32:i386' 0 'wine32:i386' 0 \
    '^dpkg --add-architecture i386;apt-get update -q;apt-get install .* gcovr;apt-get install .* wine32:i386;$' \
    'wine32:i386 could not be installed \(lib-of-wine32:i386 : Depends: part-of-wine32:i386 but it is not installable \(E: Unable' \
    '^setup could not install wine32:i386: lib-of-wine32:i386 : Depends: part-of-wine32:i386'
row "a required package not installable fails setup, named with apt's reason" \
    "" '* -gcovr -mingw-w64' 0 'mingw-w64' 1 \
    'install -y -q --no-install-recommends gcovr mingw-w64;apt-get install -s -q --no-install-recommends gcovr;apt-get install -s -q --no-install-recommends mingw-w64;$' \
    'could not be installed:.  mingw-w64: lib-of-mingw-w64 : Depends: part-of-mingw-w64 but it is not installable \(E: Unable[^(]*\).$' '^$'
row "the demo installs its four packages and no other, no i386" \
    demo '' 0 "" 0 '^apt-get update -q;apt-get install -y -q --no-install-recommends cmake ninja-build g\+\+ nlohmann-json3-dev;$' \
    'installing cmake ninja-build g\+\+ nlohmann-json3-dev' 'an old reason'
# The x86 probe reads setup's record only where there is no loader: then the x86 runs are
# skipped with setup's reason; a loader missing with no record, or one that fails,
# fails the probe.
# probe NAME LOADER RECORD EXIT VERDICT
probe() {
    local name=$1 loader=$2 record=$3 want_exit=$4 want_verdict=$5 got_exit verdict
    rm -f "$work/record" "$work/verdict"
    [ -z "$record" ] || echo "$record" >"$work/record"
    PX71_X86_PROBE_LOADER= "$source_dir/tests/wine/probe-x86.sh" "$loader" "$work/verdict" "$work/record" >/dev/null 2>&1
    got_exit=$?
    verdict=$(cat "$work/verdict" 2>/dev/null)
    if [ "$got_exit" = "$want_exit" ] && grep -Eq -- "$want_verdict" <<<"$verdict"; then
        echo "ok   probe: $name"
    else
        echo "FAIL probe: $name: exit $got_exit (not $want_exit), verdict '$verdict' (not '$want_verdict')"
        failures=$((failures + 1))
    fi
}
printf '#!/bin/sh\necho wine-8.0\n' >"$work/bin/loader" && printf '#!/bin/sh\nexit 3\n' >"$work/bin/broken"
chmod +x "$work/bin/loader" "$work/bin/broken"
reason="setup could not install wine32:i386: lib : Depends: x but it is not installable"
probe "a loader that runs" "$work/bin/loader" "$reason" 0 '^runs$'
probe "no loader, setup said why: skipped with its reason" "$work/none" "$reason" 0 "^cannot: $reason\$"
probe "no loader and no word from setup: failed" "$work/none" "" 1 '^$'
probe "a loader that fails, whatever setup said: failed" "$work/bin/broken" "$reason" 1 '^$'
exit $((failures > 0))
