# Settings every Windows binary shares: the compiler runtime linked in (so no
# libgcc, libstdc++ or winpthread DLL ships beside our files), and a VERSIONINFO.
add_link_options(-static -static-libgcc -static-libstdc++)
# Programs and the DLL side by side, as they ship and as Wine finds them.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
add_compile_definitions(WIN32_LEAN_AND_MEAN UNICODE _UNICODE _WIN32_WINNT=0x0601)

set(PX71_VERSION_RC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

# px71_add_version_info(target "description" "original file name")
function(px71_add_version_info target description filename)
    set(PX71_FILE_DESCRIPTION "${description}")
    set(PX71_ORIGINAL_FILENAME "${filename}")
    if(filename MATCHES "\\.exe$")
        set(PX71_FILE_TYPE VFT_APP)
    else()
        set(PX71_FILE_TYPE VFT_DLL)
    endif()
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${PX71_VERSION_RC_TEMPLATE} ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()

# Wine runs the Windows binaries in the tests: one prefix for the whole tree.
set(PX71_WINEPREFIX "${CMAKE_SOURCE_DIR}/build/wineprefix" CACHE PATH "Wine prefix the tests use")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(PX71_WINE /usr/lib/wine/wine64)
else()
    set(PX71_WINE /usr/lib/wine/wine)
endif()
set(PX71_WINE_ENV
    "WINEPREFIX=${PX71_WINEPREFIX}"
    "WINEDEBUG=-all"
    "WINEDLLOVERRIDES=mscoree,mshtml="
    "DISPLAY=")

# px71_add_wine_test(name target [args...]): runs a Windows program under Wine.
function(px71_add_wine_test name target)
    add_test(NAME ${name} COMMAND ${PX71_WINE} $<TARGET_FILE:${target}> ${ARGN})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${PX71_WINE_ENV}" FIXTURES_REQUIRED wine_prefix TIMEOUT 300)
endfunction()

if(BUILD_TESTING)
    add_test(NAME wine_prefix
             COMMAND ${CMAKE_COMMAND} -E env ${PX71_WINE_ENV} ${CMAKE_SOURCE_DIR}/tests/wine/make-prefix.sh)
    set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 600)
endif()
