#!/usr/bin/env bash
# Finds calls of Debian's Wine wrapper scripts (wine, winepath, wineboot, wine sc, ...)
# in the test scripts, the build files and scripts/: those wrappers pick the 32-bit
# loader whenever it is installed, so on a machine that cannot run 32-bit programs
# every 64-bit step through them fails. Call the loader by its path instead
# (/usr/lib/wine/wine64, tests/wine/lib.sh) and make Windows paths without Wine.
# usage: check-wine-calls.sh SOURCE_DIR            checks the tree
#        check-wine-calls.sh --files FILE...       checks these files
#        check-wine-calls.sh --self-test           must find each call in a sample it writes
set -u
if [ "${1:-}" = --self-test ]; then
    # The sample's wrapper names are put together here, so that no file in the tree
    # holds such a call.
    sample=$(mktemp)
    trap 'rm -f "$sample"' EXIT
    w="wi""ne"
    {
        echo "# $w in a comment is fine"
        echo "exe=\$(${w}path -w \"\$BIN/PX71Service.exe\")"
        echo "$w sc.exe query PX71Service"
        echo "  ${w}server -k"
        echo "add_test(NAME a COMMAND ${w}64 b.exe)"
        echo "set(PX71_WINE $w)"
    } >"$sample"
    found=$("$0" --files "$sample" 2>/dev/null | grep -c "^$sample:")
    if [ "$found" -ne 5 ]; then
        echo "check-wine-calls: the self-test found $found of the 5 calls in its sample" >&2
        exit 1
    fi
    echo "check-wine-calls: the self-test found all 5 calls and passed over the comment"
    exit 0
fi
if [ "${1:-}" = --files ]; then
    shift
    files=("$@")
else
    cd "$1" || exit 2
    mapfile -t files < <(git ls-files -- '*.sh' '*.cmake' '*CMakeLists.txt' 'scripts/*' '.ci/*' 2>/dev/null ||
        find . -name build -prune -o \( -name '*.sh' -o -name '*.cmake' -o -name CMakeLists.txt \) -print)
fi
wrappers='wine|wine64|wine-stable|wine-development|winepath|wineboot|winecfg|wineconsole|winedbg|winefile|wineserver|msiexec|regedit|regsvr32'
# A wrapper in command position: at the start, after a separator or a command that
# runs its arguments, as a CMake COMMAND, or as the value of an assignment.
lead='(^|[;&|(`]|\$\(|[[:space:]](COMMAND|exec|then|do|else|env|time|nohup|xargs)|=|set\([A-Za-z0-9_]+)'
pattern="${lead}[[:space:]]*\"?(${wrappers})\"?([[:space:]]|\)|;|$)"
found=0
for f in "${files[@]}"; do
    [ -f "$f" ] || continue
    # Comments say what they like.
    while IFS= read -r hit; do
        echo "$f:$hit"
        found=1
    done < <(grep -nE "$pattern" "$f" | grep -vE '^[0-9]+:[[:space:]]*#')
done
if [ $found -ne 0 ]; then
    echo "check-wine-calls: the lines above call a Wine wrapper script; call the loader by its path" >&2
    exit 1
fi
echo "check-wine-calls: ${#files[@]} files, no Wine wrapper called"
