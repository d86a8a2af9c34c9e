#!/usr/bin/env bash
# The SDK archive as a developer meets it: made by cpack, checked against its SHA-256
# file, unpacked; then a project outside the tree configured with find_package(PX71)
# and built for x64 and for x86, and call_library.c built with pkg-config's flags; each
# program must import from PX71.dll by name.
# usage: consumer_check.sh BUILD_DIR SOURCE_DIR OBJDUMP
set -u
build=$1 source=$2 objdump=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fails=0
fail() { echo "consumer_check: FAIL: $*"; fails=$((fails + 1)); }
imports_px71() { "$objdump" -p "$1" | grep -q 'DLL Name: PX71.dll' && "$objdump" -p "$1" | grep -q ' XU_CheckDevice$'; }

(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/out" >cpack.log 2>&1) || { cat "$work/cpack.log"; exit 1; }
zip=$(ls "$work"/out/PX71-SDK-*.zip)
(cd "$work/out" && sha256sum -c "$(basename "$zip").sha256" >/dev/null) && echo "archive: $(basename "$zip"), checksum ok" ||
    fail "the archive does not match its .sha256"
(cd "$work" && cmake -E tar xf "$zip") || fail "cannot unpack $zip"
root=$(ls -d "$work"/PX71-SDK-*/)

for arch in x86_64 i686; do
    dir="$work/consumer-$arch"
    if cmake -S "$source/tests/wine/consumer" -B "$dir" -G Ninja -DCMAKE_PREFIX_PATH="$root" \
        -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-$arch.cmake" >"$dir.log" 2>&1 &&
        cmake --build "$dir" >>"$dir.log" 2>&1; then
        imports_px71 "$dir/consumer.exe" && echo "find_package(PX71), $arch: consumer.exe imports PX71.dll" ||
            fail "$arch: consumer.exe does not import PX71.dll by name"
    else
        fail "$arch: the consumer project did not build"
        cat "$dir.log"
    fi
done

for arch in x64:x86_64 x86:i686; do
    flags=$(PKG_CONFIG_PATH="$root/lib/${arch%%:*}/pkgconfig" pkg-config --cflags --libs px71) || fail "pkg-config px71 (${arch%%:*})"
    # shellcheck disable=SC2086
    "${arch#*:}-w64-mingw32-gcc" "$source/examples/call_library.c" $flags -o "$work/pc-${arch%%:*}.exe" &&
        imports_px71 "$work/pc-${arch%%:*}.exe" && echo "pkg-config px71, ${arch%%:*}: linked" ||
        fail "${arch%%:*}: call_library.c does not link with pkg-config's flags"
done
[ $fails -eq 0 ] && echo "consumer_check: passed" || echo "consumer_check: $fails failures"
exit $((fails > 0))
