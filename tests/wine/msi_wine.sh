#!/usr/bin/env bash
# The x64 installer under Wine, one step per test, in a prefix of its own:
#   install    a fresh prefix; msiexec /i quiet; the service registered and RUNNING, the
#              files in place, the Control Panel item under Cpls (REG_EXPAND_SZ), the
#              event source naming the service as its message file, no PX711 key;
#              px71ctl check and report answered through the service, PX71.LOG beside
#              it; the package's own rows for what Wine does not apply (file versions,
#              the vital service, same-version upgrades, privileges, SID type, recovery)
#   upgrade    the filter driver's settings stored through the service; the newer
#              package over it, then another build of that version: each time one
#              product at the new version, the service RUNNING again, the settings kept
#   uninstall  msiexec /x quiet: no service, none of the installed files, no Cpls value,
#              no event source; PX71.LOG and the settings key left; then the prefix is
#              removed
# usage: msi_wine.sh STEP WINE MSI NEXT_MSI NEXT_VERSION REBUILT_MSI FILE_VERSION
#        (WINEPREFIX from the test)
set -u
step=$1 WINE=$2 msi=$3 next_msi=$4 next_version=$5 rebuilt_msi=$6 file_version=$7
: "${WINEPREFIX:?WINEPREFIX must name the prefix of the installer tests}"
. "$(dirname "$0")/lib.sh"
fails=0
say() { echo "msi_$step: $*"; }
fail() { say "FAIL: $*"; fails=$((fails + 1)); }

DIR="$WINEPREFIX/drive_c/Program Files/PX71"
FILES=(PX71.dll PX71Service.exe PX71ResourceSetting.cpl px71ctl.exe px71log.exe "PX71 HotPlug Tool/PX71.exe")
CPLS='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Control Panel\Cpls'
SETTINGS='HKLM\SYSTEM\CurrentControlSet\Services\PX711'
UNINSTALL='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
RUN='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
SOURCE='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\PX71Service'

reg_line() {  # reg_line KEY NAME: "TYPE DATA" of the value (names may hold spaces)
    "$WINE" reg.exe query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        awk -v n="$2" '{l = $0; sub(/^ +/, "", l)} index(l, n " ") == 1 {l = substr(l, length(n) + 1); sub(/^ +/, "", l); print l}'
}
reg_value() {  # reg_value KEY NAME: the value's data, empty when there is none
    reg_line "$1" "$2" | sed -E 's/^REG_[A-Z_]+ *//'
}
reg_type() {  # reg_type KEY NAME: the value's type (REG_SZ, ...), empty when there is none
    reg_line "$1" "$2" | sed -E 's/^(REG_[A-Z_]+).*/\1/'
}
# row TABLE KEY_COLUMN KEY COLUMN: one column of the package's row whose KEY_COLUMN is KEY.
row() {
    msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4 | awk -F'\t' -v k="$2" -v v="$3" -v c="$4" '$k == v {print $c}'
}
state() { "$WINE" sc.exe query PX71Service 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}'; }
wait_running() {
    local i
    for ((i = 0; i < 200; i++)); do
        [ "$(state)" = RUNNING ] && return 0
        sleep 0.1
    done
    return 1
}
# The installed products named PX71, as "version" lines.
products() {
    "$WINE" reg.exe query "$UNINSTALL" /s 2>/dev/null | tr -d '\r' |
        awk '/^HKEY/ {name = ""; version = ""} $1 == "DisplayName" {name = $3} $1 == "DisplayVersion" {version = $3}
             name == "PX71" && version != "" {print version; name = ""}'
}
ms_now() { date +%s%3N; }
run_msi() {  # run_msi /i|/x MSI: quiet, timed
    local start rc
    start=$(ms_now)
    "$WINE" msiexec.exe "$1" "$(windows_path "$2")" /qn
    rc=$?
    say "msiexec $1 $(basename "$2"): exit $rc in $(($(ms_now) - start)) ms"
    return $rc
}
ctl() { "$WINE" "$DIR/px71ctl.exe" "$@" 2>&1 | tr -d '\r'; }

case $step in
install)
    "$WINESERVER" -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX" && mkdir -p "$WINEPREFIX"
    "$WINE" wineboot.exe --init >/dev/null 2>&1
    "$WINESERVER" -w
    # A Wine service ends with the wineserver: one stays up until msi_uninstall. It and
    # the service manager it starts now outlive this test, so their output goes nowhere:
    # CTest waits for every holder of the test's output to close it.
    "$WINESERVER" -p >/dev/null 2>&1 </dev/null
    "$WINE" sc.exe query >/dev/null 2>&1 </dev/null
    run_msi /i "$msi" || fail "msiexec /i"
    wait_running && say "PX71Service RUNNING" || fail "PX71Service not RUNNING (state: $(state))"
    svc='HKLM\SYSTEM\CurrentControlSet\Services\PX71Service'
    [ "$(reg_value "$svc" Type)" = 0x10 ] || fail "service type $(reg_value "$svc" Type), expected own process 0x10"
    [ "$(reg_value "$svc" Start)" = 0x2 ] || fail "start type $(reg_value "$svc" Start), expected automatic 0x2"
    [ "$(reg_value "$svc" ObjectName)" = LocalSystem ] || fail "account $(reg_value "$svc" ObjectName)"
    [ "$(reg_value "$svc" ImagePath)" = 'C:\Program Files\PX71\PX71Service.exe' ] ||
        fail "image path $(reg_value "$svc" ImagePath)"
    for f in "${FILES[@]}"; do [ -f "$DIR/$f" ] || fail "not installed: $f"; done
    [ ! -e "$DIR/x86" ] || fail "an x86 folder was installed"
    cpl=$(reg_value "$CPLS" PX71ResourceSetting)
    [ "$cpl" = 'C:\Program Files\PX71\PX71ResourceSetting.cpl' ] && say "Cpls: $cpl" || fail "Cpls value: '$cpl'"
    [ "$(reg_type "$CPLS" PX71ResourceSetting)" = REG_EXPAND_SZ ] || fail "Cpls type $(reg_type "$CPLS" PX71ResourceSetting)"
    [ "$(reg_type "$SOURCE" EventMessageFile)" = REG_EXPAND_SZ ] &&
        [ "$(reg_value "$SOURCE" EventMessageFile)" = 'C:\Program Files\PX71\PX71Service.exe' ] &&
        [ "$(reg_value "$SOURCE" TypesSupported)" = 0x7 ] && say "event source: $(reg_value "$SOURCE" EventMessageFile)" ||
        fail "event source: $(reg_value "$SOURCE" EventMessageFile) types $(reg_value "$SOURCE" TypesSupported)"
    "$WINE" reg.exe query "$SETTINGS" >/dev/null 2>&1 && fail "the installer made the PX711 key"
    run=$(reg_value "$RUN" "PX71 HotPlug Tool")
    [ "$run" = '"C:\Program Files\PX71\PX71 HotPlug Tool\PX71.exe" -t' ] && say "started at logon: $run" ||
        fail "Run value: '$run'"
    # Wine's installer skips MsiConfigureServices, and its service manager refuses both
    # settings (ERROR_INVALID_LEVEL): the package's own rows are what can be read back.
    config=$(msiinfo export "$msi" MsiServiceConfig | tr -d '\r' | tail -n +4 | sort)
    expected=$(printf '%s\t%s\t%s\t%s\t%s\t%s\n' \
        PX71ServicePrivileges PX71Service 5 6 'SeLoadDriverPrivilege[~]SeChangeNotifyPrivilege' Service \
        PX71ServiceSid PX71Service 5 5 1 Service)
    [ "$config" = "$expected" ] && say "service configuration: privileges and SID type on install and reinstall" ||
        fail "MsiServiceConfig rows: $config"
    msiinfo export "$msi" InstallExecuteSequence | tr -d '\r' | grep -qx $'MsiConfigureServices\tVersionNT >= 601\t5850' ||
        fail "MsiConfigureServices is not between InstallServices and StartServices"
    # The rows wixl leaves out, as the package carries them: TABLE KEY_COLUMN KEY COLUMN EXPECTED.
    checks=(
        "File 1 PX71.dll 5 $file_version" "File 1 PX71Service.exe 5 $file_version"
        "File 1 PX71ResourceSetting.cpl 5 $file_version" "File 1 px71ctl.exe 5 $file_version"
        "File 1 px71log.exe 5 $file_version" "File 1 PX71.exe 5 $file_version"
        "ServiceInstall 1 PX71Service 6 32769"
        "Upgrade 7 WIX_UPGRADE_DETECTED 5 513"
        "MsiServiceConfigFailureActions 1 PX71ServiceRecovery 7 1[~]1[~]0"
        "MsiServiceConfigFailureActions 1 PX71ServiceRecovery 8 60000[~]60000[~]0"
        "MsiServiceConfigFailureActions 1 PX71ServiceRecovery 4 86400"
        "Property 1 ARPPRODUCTICON 2 px71.ico"
    )
    for c in "${checks[@]}"; do
        read -r table key_column key column expected <<<"$c"
        got=$(row "$table" "$key_column" "$key" "$column")
        [ "$got" = "$expected" ] || fail "$table $key column $column: '$got', expected '$expected'"
    done
    ! msiinfo tables "$msi" | grep -qx MsiFileHash || fail "file hashes, which only unversioned files carry"
    out=$(ctl check)
    echo "$out"
    grep -q '^device check 0x00: .*(Result 0, LastError [0-9]*)$' <<<"$out" || fail "px71ctl check not answered"
    out=$(ctl report "Installed")
    echo "$out"
    grep -q '^report "Installed" written into PX71.LOG' <<<"$out" || fail "px71ctl report not answered"
    if [ -f "$DIR/PX71.LOG" ]; then
        "$WINE" "$DIR/px71log.exe" --report "$(windows_path "$DIR/PX71.LOG")" 2>&1 | tr -d '\r' | grep -qx Installed ||
            fail "PX71.LOG holds no report 'Installed'"
    else
        fail "no PX71.LOG beside the installed PX71Service.exe"
    fi
    ;;
upgrade)
    # The filter driver's installation makes the key; the service stores the settings.
    "$WINE" reg.exe add "$SETTINGS" /f >/dev/null 2>&1 || fail "reg add $SETTINGS"
    ctl sizes --defaults --oz888 0x20 --sxs 0x30 --a3132 0x40 --b3132 0x50 --usb 0x60
    before=$(products)
    [ -n "$before" ] || fail "no PX71 product installed before the upgrade"
    run_msi /i "$next_msi" || fail "msiexec /i (upgrade)"
    after=$(products)
    [ "$after" = "$next_version" ] && say "installed: PX71 $after (was $before)" ||
        fail "installed products after the upgrade: '$(tr '\n' ' ' <<<"$after")', expected $next_version alone"
    wait_running && say "PX71Service RUNNING again" || fail "PX71Service not RUNNING after the upgrade (state: $(state))"
    for f in "${FILES[@]}"; do [ -f "$DIR/$f" ] || fail "missing after the upgrade: $f"; done
    [ "$(reg_value "$SETTINGS" USBLenDef)" = 0x60 ] || fail "the settings key lost USBLenDef"
    grep -q '^device check 0x00' <<<"$(ctl check)" || fail "px71ctl check not answered after the upgrade"
    # Another build of the same version: it replaces the installed one.
    run_msi /i "$rebuilt_msi" || fail "msiexec /i (the same version rebuilt)"
    after=$(products)
    [ "$after" = "$next_version" ] && say "installed after a rebuild of $next_version: PX71 $after, once" ||
        fail "installed products after a rebuild: '$(tr '\n' ' ' <<<"$after")', expected $next_version once"
    wait_running || fail "PX71Service not RUNNING after the rebuild (state: $(state))"
    for f in "${FILES[@]}"; do [ -f "$DIR/$f" ] || fail "missing after the rebuild: $f"; done
    ;;
uninstall)
    "$WINE" reg.exe add "$SETTINGS" /v Kept /t REG_DWORD /d 1 /f >/dev/null 2>&1 || fail "reg add $SETTINGS"
    # The newer version (its rebuild, else its first build) if the upgrade got that far,
    # else the first package.
    if [ "$(products)" = "$next_version" ]; then
        run_msi /x "$rebuilt_msi" || run_msi /x "$next_msi" || fail "msiexec /x"
    else
        run_msi /x "$msi" || fail "msiexec /x"
    fi
    "$WINE" sc.exe query PX71Service >/dev/null 2>&1 && fail "the service PX71Service is still there (state: $(state))"
    for f in "${FILES[@]}"; do [ ! -e "$DIR/$f" ] || fail "left behind: $f"; done
    [ -z "$(reg_value "$CPLS" PX71ResourceSetting)" ] || fail "the Cpls value is still there"
    [ -z "$(reg_value "$SOURCE" EventMessageFile)" ] || fail "the event source is still there"
    [ -z "$(reg_value "$RUN" "PX71 HotPlug Tool")" ] || fail "the program is still started at logon"
    [ -z "$(products)" ] || fail "still listed as installed: PX71 $(products)"
    [ -f "$DIR/PX71.LOG" ] && say "PX71.LOG left in place" || fail "PX71.LOG was removed"
    [ "$(reg_value "$SETTINGS" Kept)" = 0x1 ] && say "settings key left in place" || fail "the settings key was removed"
    [ $fails -eq 0 ] && say "$(find "$DIR" | sed "s|^$WINEPREFIX/||" | tr '\n' ' ')"
    "$WINESERVER" -k >/dev/null 2>&1
    "$WINESERVER" -w >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
    ;;
*)
    echo "usage: msi_wine.sh install|upgrade|uninstall WINE MSI NEXT_MSI NEXT_VERSION REBUILT_MSI FILE_VERSION" >&2
    exit 2
    ;;
esac
[ $fails -eq 0 ] && say "passed" || say "$fails failures"
exit $((fails > 0))
