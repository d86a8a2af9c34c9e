# Completes a package wixl made, with msibuild, where wixl writes less than the source
# or the platform asks:
# - each file's version, read from the file's own version resource (wixl leaves the
#   column empty, and Windows Installer would treat the binaries as unversioned data);
#   with it, no MsiFileHash table, which Windows Installer keeps for unversioned files
#   only
# - REG_EXPAND_SZ ("#%" before the value) where the source asks for it: the Cpls value,
#   as the platform documents it, and the event source's EventMessageFile
# - the service vital (ErrorControl msidbServiceInstallErrorControlVital | normal), as the
#   source's Vital="yes" says
# - a major upgrade that includes the same version, so that a rebuild of one version
#   replaces the installed one instead of installing beside it
# - the service's privileges, its SID type and its recovery after a failure
#   (MsiServiceConfig, MsiServiceConfigFailureActions), which Windows Installer 5.0
#   applies in MsiConfigureServices, between InstallServices and StartServices
# usage: cmake -D MSIBUILD=msibuild -D MSI=package.msi -D VERSION=1.2.3 -D UPGRADE_CODE={...}
#              "-D" "FILES=FileId=path,..." -P finish_msi.cmake

# The four parts of a PE file's FILEVERSION, from the VS_FIXEDFILEINFO after its
# signature 0xFEEF04BD.
function(px71_file_version path out)
    file(READ ${path} hex HEX)
    string(FIND "${hex}" "bd04effe" at)
    if(at EQUAL -1 OR NOT at MATCHES "[02468]$")
        message(FATAL_ERROR "${path} has no version resource")
    endif()
    math(EXPR at "${at} + 16")  # past the signature and the structure version
    string(SUBSTRING "${hex}" ${at} 16 words)
    set(parts)
    foreach(offset 4 0 12 8)  # the 16-bit halves, little-endian: MS high, MS low, LS high, LS low
        string(SUBSTRING "${words}" ${offset} 4 half)
        string(SUBSTRING "${half}" 2 2 high)
        string(SUBSTRING "${half}" 0 2 low)
        math(EXPR value "0x${high}${low}")
        list(APPEND parts ${value})
    endforeach()
    list(JOIN parts "." version)
    set(${out} ${version} PARENT_SCOPE)
endfunction()

set(queries)
string(REPLACE "," ";" FILES "${FILES}")
foreach(entry IN LISTS FILES)
    string(REGEX MATCH "^([^=]+)=(.+)$" ignored "${entry}")
    px71_file_version(${CMAKE_MATCH_2} version)
    list(APPEND queries -q "UPDATE `File` SET `Version` = '${version}' WHERE `File` = '${CMAKE_MATCH_1}'")
endforeach()
list(APPEND queries
    -q "UPDATE `Registry` SET `Value` = '#%[#PX71ResourceSetting.cpl]' WHERE `Name` = 'PX71ResourceSetting'"
    -q "UPDATE `Registry` SET `Value` = '#%[#PX71Service.exe]' WHERE `Name` = 'EventMessageFile'"
    -q "DROP TABLE `MsiFileHash`"
    -q "UPDATE `ServiceInstall` SET `ErrorControl` = 32769 WHERE `ServiceInstall` = 'PX71Service'"
    -q "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'"
    # msidbUpgradeAttributesMigrateFeatures | msidbUpgradeAttributesVersionMaxInclusive
    -q "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMin`, `VersionMax`, `Language`, `Attributes`, `Remove`, `ActionProperty`) VALUES ('${UPGRADE_CODE}', '', '${VERSION}', '', 513, '', 'WIX_UPGRADE_DETECTED')"
    # Only the privileges the service uses: SeLoadDriverPrivilege for ejects, and
    # SeChangeNotifyPrivilege, which every process keeps. A service SID, unrestricted.
    -q "CREATE TABLE `MsiServiceConfig` (`MsiServiceConfig` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL, `Event` SHORT NOT NULL, `ConfigType` LONG NOT NULL, `Argument` CHAR(0), `Component_` CHAR(72) NOT NULL PRIMARY KEY `MsiServiceConfig`)"
    -q "INSERT INTO `MsiServiceConfig` (`MsiServiceConfig`, `Name`, `Event`, `ConfigType`, `Argument`, `Component_`) VALUES ('PX71ServicePrivileges', 'PX71Service', 5, 6, 'SeLoadDriverPrivilege[~]SeChangeNotifyPrivilege', 'Service')"
    -q "INSERT INTO `MsiServiceConfig` (`MsiServiceConfig`, `Name`, `Event`, `ConfigType`, `Argument`, `Component_`) VALUES ('PX71ServiceSid', 'PX71Service', 5, 5, '1', 'Service')"
    # After a failure the manager restarts the service after a minute, twice; the count
    # starts again after a day without one.
    -q "CREATE TABLE `MsiServiceConfigFailureActions` (`MsiServiceConfigFailureActions` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL, `Event` SHORT NOT NULL, `ResetPeriod` LONG, `RebootMessage` CHAR(0), `Command` CHAR(0), `Actions` CHAR(0), `DelayActions` CHAR(0), `Component_` CHAR(72) NOT NULL PRIMARY KEY `MsiServiceConfigFailureActions`)"
    -q "INSERT INTO `MsiServiceConfigFailureActions` (`MsiServiceConfigFailureActions`, `Name`, `Event`, `ResetPeriod`, `Actions`, `DelayActions`, `Component_`) VALUES ('PX71ServiceRecovery', 'PX71Service', 5, 86400, '1[~]1[~]0', '60000[~]60000[~]0', 'Service')"
    -q "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('MsiConfigureServices', 'VersionNT >= 601', 5850)")
execute_process(COMMAND ${MSIBUILD} ${MSI} ${queries} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0 OR out MATCHES "failed")
    message(FATAL_ERROR "msibuild ${MSI}: ${out}")
endif()
