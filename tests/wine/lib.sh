# Shared by the scripts that drive Windows programs under Wine. Source it after
# setting WINE to the loader's own path (/usr/lib/wine/wine64): Debian's wrapper
# scripts (wine, winepath, wineboot, ...) pick the 32-bit loader whenever it is
# installed, also where the kernel cannot run it, so none of them is called here.

# The server beside the loader, without the wrapper script that would choose one.
WINESERVER=$(dirname "$WINE")/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=$(dirname "$WINE")/wineserver

# The Windows name of a path: Wine's drive Z: is the root of the file system.
windows_path() {
    local p
    p=$(realpath -m "$1")
    printf 'Z:%s\n' "${p//\//\\}"
}
