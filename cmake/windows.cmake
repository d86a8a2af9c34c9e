# Settings every Windows binary shares: the compiler runtime linked in (so no
# libgcc, libstdc++ or winpthread DLL ships beside our files), and a VERSIONINFO.
# (clang's MinGW driver links libstdc++ statically under -static and has no use for
# the flag.)
add_link_options(-static -static-libgcc $<$<CXX_COMPILER_ID:GNU>:-static-libstdc++>)
# Programs and the DLL side by side, as they ship and as Wine finds them.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
add_compile_definitions(WIN32_LEAN_AND_MEAN UNICODE _UNICODE _WIN32_WINNT=0x0601)

set(PX71_VERSION_RC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)
set(PX71_MANIFEST_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/program.manifest.in)

# Signing: given a certificate (PX71_SIGN_PFX, a PKCS#12 file, from the environment at
# configure time), every shipped binary and the package are signed with osslsigncode;
# the password comes from PX71_SIGN_PASSWORD in the environment at build time and is
# kept nowhere in the build.
set(PX71_SIGN_PFX "$ENV{PX71_SIGN_PFX}" CACHE FILEPATH "PKCS#12 certificate for the shipped files; empty: unsigned")
set(PX71_SIGN_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/sign.sh)
if(PX71_SIGN_PFX)
    find_program(PX71_OSSLSIGNCODE osslsigncode REQUIRED)
    message(STATUS "PX71: the shipped files are signed with ${PX71_SIGN_PFX}")
elseif(NOT PX71_X86_PART)
    message(STATUS "PX71: no certificate (PX71_SIGN_PFX): the shipped files are unsigned")
endif()

# px71_ship(target "description" "original file name"): what every shipped binary gets:
# a VERSIONINFO; for a program, a manifest (run as the caller, the Windows versions it
# was made for); its debug data moved into <file>.debug beside it, with a debug link to
# it; with a certificate, a signature, last, over the stripped file.
function(px71_ship target description filename)
    # WINDOWED: a program with windows, which asks for the version 6 common controls
    # (the system's look) and scales its own windows for each monitor's DPI.
    set(PX71_MANIFEST_WINDOWED "")
    if("WINDOWED" IN_LIST ARGN)
        string(CONCAT PX71_MANIFEST_WINDOWED
            "  <dependency>\n    <dependentAssembly>\n"
            "      <assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"\n"
            "                        processorArchitecture=\"*\" publicKeyToken=\"6595b64144ccf1df\" language=\"*\"/>\n"
            "    </dependentAssembly>\n  </dependency>\n"
            "  <application xmlns=\"urn:schemas-microsoft-com:asm.v3\">\n    <windowsSettings>\n"
            "      <dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm</dpiAware>\n"
            "      <dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">PerMonitorV2, PerMonitor</dpiAwareness>\n"
            "    </windowsSettings>\n  </application>\n")
    endif()
    set(PX71_FILE_DESCRIPTION "${description}")
    set(PX71_ORIGINAL_FILENAME "${filename}")
    set(PX71_MANIFEST "")
    set(PX71_MANIFEST_RESOURCE "")
    if(filename MATCHES "\\.exe$")
        set(PX71_FILE_TYPE VFT_APP)
        if(CMAKE_SIZEOF_VOID_P EQUAL 8)
            set(PX71_MANIFEST_ARCH amd64)
        else()
            set(PX71_MANIFEST_ARCH x86)
        endif()
        set(PX71_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest)
        configure_file(${PX71_MANIFEST_TEMPLATE} ${PX71_MANIFEST} @ONLY)
        # CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST: the manifest the loader reads.
        set(PX71_MANIFEST_RESOURCE "1 24 \"${PX71_MANIFEST}\"")
    else()
        set(PX71_FILE_TYPE VFT_DLL)
    endif()
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${PX71_VERSION_RC_TEMPLATE} ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
    if(PX71_MANIFEST)
        set_property(SOURCE ${rc} APPEND PROPERTY OBJECT_DEPENDS ${PX71_MANIFEST})
    endif()
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.debug
        COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug
                $<TARGET_FILE:${target}>
        WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
        VERBATIM)
    if(PX71_SIGN_PFX)
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${PX71_SIGN_SCRIPT} ${PX71_OSSLSIGNCODE} ${PX71_SIGN_PFX} $<TARGET_FILE:${target}>
            VERBATIM)
    endif()
endfunction()

# Wine runs the Windows binaries in the tests: one prefix for the whole tree. The
# loaders are called by their own paths: Debian's wrapper scripts (wine, winepath,
# wineboot, ...) pick the 32-bit loader whenever it is installed, also on a machine
# whose kernel cannot run it.
set(PX71_WINEPREFIX "${CMAKE_SOURCE_DIR}/build/wineprefix" CACHE PATH "Wine prefix the tests use")
set(PX71_WINE64 /usr/lib/wine/wine64)
set(PX71_WINE32 /usr/lib/wine/wine)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(PX71_WINE ${PX71_WINE64})
else()
    set(PX71_WINE ${PX71_WINE32})
endif()
set(PX71_WINE_ENV
    "WINEPREFIX=${PX71_WINEPREFIX}"
    "WINEDEBUG=-all"
    "WINEDLLOVERRIDES=mscoree,mshtml="
    "DISPLAY=")
# What the x86 probe found out: whether this machine can start a 32-bit program.
set(PX71_X86_VERDICT ${CMAKE_BINARY_DIR}/wine-x86-verdict.txt)
# Where scripts/setup says why it could not install the 32-bit loader.
set(PX71_X86_SETUP_RECORD ${CMAKE_SOURCE_DIR}/build/setup-x86.txt)

# px71_add_wine_test(name target [args...]): runs a Windows program, a target or the
# path of one built otherwise, under Wine. An x86 program runs only where the probe
# found that this machine can start one, and is reported as skipped, with the reason,
# where it cannot.
function(px71_add_wine_test name target)
    if(TARGET ${target})
        set(program $<TARGET_FILE:${target}>)
    else()
        set(program ${target})
    endif()
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        add_test(NAME ${name} COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/run-wine.sh ${PX71_WINE} ${program} ${ARGN})
        set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine_prefix)
    else()
        add_test(NAME ${name}
                 COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/run-x86.sh ${PX71_X86_VERDICT} ${PX71_WINE} ${program} ${ARGN})
        set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "wine_prefix;wine_x86" SKIP_RETURN_CODE 77)
    endif()
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${PX71_WINE_ENV}" TIMEOUT 300)
endfunction()

if(BUILD_TESTING)
    add_test(NAME wine_prefix
             COMMAND ${CMAKE_COMMAND} -E env ${PX71_WINE_ENV} ${CMAKE_SOURCE_DIR}/tests/wine/make-prefix.sh
                     ${PX71_WINE64})
    set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 600)
    # Both builds run x86 programs: the x86 one its own, the x64 one the x86 pipe
    # client against the installed service.
    add_test(NAME wine_x86_probe
             COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/probe-x86.sh ${PX71_WINE32} ${PX71_X86_VERDICT}
                     ${PX71_X86_SETUP_RECORD})
    set_tests_properties(wine_x86_probe PROPERTIES FIXTURES_SETUP wine_x86 TIMEOUT 60)
endif()
