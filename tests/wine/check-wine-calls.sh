#!/usr/bin/env bash
# Finds calls of Debian's Wine wrapper scripts (wine, winepath, wineboot, wine sc, ...)
# in the test scripts, the build files and scripts/: those wrappers pick the 32-bit
# loader whenever it is installed, so on a machine that cannot run 32-bit programs
# every 64-bit step through them fails. Call the loader by its path instead
# (/usr/lib/wine/wine64, tests/wine/lib.sh) and make Windows paths without Wine.
# usage: check-wine-calls.sh SOURCE_DIR            checks the tree
#        check-wine-calls.sh --files FILE...       checks these files
set -u
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
