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

# A service's state as Wine's sc.exe names it (RUNNING, STOPPED, ...), empty if unknown.
service_state() {  # service_state NAME
    "$WINE" sc.exe query "$1" 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}'
}
wait_service_state() {  # wait_service_state NAME STATE SECONDS
    local i
    for ((i = 0; i < $3 * 10; i++)); do
        [ "$(service_state "$1")" = "$2" ] && return 0
        sleep 0.1
    done
    return 1
}

# A persistent wineserver for the steps of one test. A server that the test before
# left to end on its own is ended first: -p does not make a running server persistent.
fresh_persistent_wineserver() {
    "$WINESERVER" -k >/dev/null 2>&1
    "$WINESERVER" -w
    "$WINESERVER" -p
    wait_scm
}

# The service control manager starts with the first Wine process and, on a loaded
# machine, can take seconds to answer; a step that needs it waits (at most about 30 s).
wait_scm() {
    local i
    for ((i = 0; i < 60; i++)); do
        "$WINE" sc.exe query >/dev/null 2>&1 && return 0
        sleep 0.5
    done
    return 1
}

# sc_create NAME ARGS...: registers a service, tried again for a few seconds while the
# manager still ends an earlier registration of the name; on failure, sc's last words.
sc_create() {
    local out i
    for ((i = 0; i < 10; i++)); do
        out=$("$WINE" sc.exe create "$@" 2>&1) && return 0
        sleep 0.5
    done
    tr -d '\r' <<<"$out"
    return 1
}
