# What a program that uses PX71 links and includes: the import library PX71.lib of
# this build's architecture, the public headers and the protocol documents, installed
# as bin/<arch>, lib/<arch>, include, docs and examples.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(PX71_ARCH x64)
else()
    set(PX71_ARCH x86)
endif()
# Two import libraries: PX71.lib in the short format Microsoft's linker writes, made by
# llvm-dlltool, which link.exe (also with /SAFESEH, the x86 default) and GNU ld both
# take; and libPX71.dll.a, the GNU format, for mingw-w64. Neither names the build
# folder, so the same sources give the same bytes.
find_program(PX71_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
set(PX71_IMPORT_LIB ${CMAKE_BINARY_DIR}/lib/PX71.lib)
set(PX71_GNU_IMPORT_LIB ${CMAKE_BINARY_DIR}/lib/libPX71.dll.a)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/lib)

if(PX71_ARCH STREQUAL x86)
    # px71.h declares the exports __stdcall, so an x86 caller references XU_ReadPCI@12;
    # the DLL exports XU_ReadPCI. Both tools' kill-at option maps the one to the other.
    set(def ${CMAKE_BINARY_DIR}/lib/PX71-x86.def)
    list(JOIN PX71_EXPORTS "," exports)
    add_custom_command(OUTPUT ${PX71_IMPORT_LIB} ${PX71_GNU_IMPORT_LIB}
        COMMAND ${CMAKE_COMMAND} -D NM=${CMAKE_NM} "-D" "OBJECTS=$<JOIN:$<TARGET_OBJECTS:px71>,$<COMMA>>"
                "-D" "EXPORTS=${exports}" -D DEF=${def} -P ${PROJECT_SOURCE_DIR}/cmake/x86_import_def.cmake
        COMMAND ${PX71_LLVM_DLLTOOL} -m i386 -k -d PX71-x86.def -l PX71.lib
        # dlltool names its members after the output path: a bare name keeps them the same
        # in every build folder.
        COMMAND ${CMAKE_DLLTOOL} --kill-at --def PX71-x86.def --dllname PX71.dll --output-lib libPX71.dll.a
        DEPENDS px71 ${PROJECT_SOURCE_DIR}/cmake/x86_import_def.cmake
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/lib
        COMMENT "x86 import libraries PX71.lib and libPX71.dll.a")
else()
    # One calling convention, no decoration: the plain names, and the linker's own GNU
    # import library as it is.
    set(def ${CMAKE_BINARY_DIR}/lib/PX71-x64.def)
    list(JOIN PX71_EXPORTS "\n    " exports)
    file(CONFIGURE OUTPUT ${def} CONTENT "LIBRARY PX71.dll\nEXPORTS\n    ${exports}\n")
    add_custom_command(OUTPUT ${PX71_IMPORT_LIB} ${PX71_GNU_IMPORT_LIB}
        COMMAND ${PX71_LLVM_DLLTOOL} -m i386:x86-64 -d ${def} -l ${PX71_IMPORT_LIB}
        COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_LINKER_FILE:px71> ${PX71_GNU_IMPORT_LIB}
        DEPENDS px71 ${def}
        COMMENT "x64 import libraries PX71.lib and libPX71.dll.a")
endif()
add_custom_target(px71_import_lib ALL DEPENDS ${PX71_IMPORT_LIB} ${PX71_GNU_IMPORT_LIB})

# px71_link_import_lib(target [GNU]): links target against PX71.lib, or with GNU against
# libPX71.dll.a, as a program outside this tree does.
function(px71_link_import_lib target)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/library ${PROJECT_SOURCE_DIR}/service)
    if("GNU" IN_LIST ARGN)
        target_link_libraries(${target} PRIVATE ${PX71_GNU_IMPORT_LIB})
    else()
        target_link_libraries(${target} PRIVATE ${PX71_IMPORT_LIB})
    endif()
    add_dependencies(${target} px71_import_lib)
endfunction()

install(FILES $<TARGET_FILE:px71> DESTINATION bin/${PX71_ARCH})
# The debug data the shipped binaries were stripped of, for a debugger.
install(FILES $<TARGET_FILE:px71>.debug DESTINATION symbols/${PX71_ARCH})
install(FILES ${PX71_IMPORT_LIB} ${PX71_GNU_IMPORT_LIB} DESTINATION lib/${PX71_ARCH})
install(FILES ${PROJECT_SOURCE_DIR}/library/px71.h ${PROJECT_SOURCE_DIR}/service/pipe_request.h DESTINATION include)
# pkg-config, one file per architecture: PKG_CONFIG_PATH=<sdk>/lib/<arch>/pkgconfig.
configure_file(${PROJECT_SOURCE_DIR}/cmake/package/px71.pc.in ${CMAKE_BINARY_DIR}/lib/px71.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/lib/px71.pc DESTINATION lib/${PX71_ARCH}/pkgconfig)
install(FILES ${PROJECT_SOURCE_DIR}/docs/pipe-protocol.md ${PROJECT_SOURCE_DIR}/docs/log-format.md
              ${PROJECT_SOURCE_DIR}/docs/security.md DESTINATION docs)
install(FILES ${PROJECT_SOURCE_DIR}/examples/call_library.c ${PROJECT_SOURCE_DIR}/examples/pipe_client.c
        DESTINATION examples)

if(PX71_ARCH STREQUAL x64 AND NOT PX71_X86_PART)
    install(FILES $<TARGET_FILE:px71_service> $<TARGET_FILE:px71_applet> $<TARGET_FILE:px71ctl> $<TARGET_FILE:px71log>
            DESTINATION bin/x64)
    install(FILES $<TARGET_FILE:px71_service>.debug $<TARGET_FILE:px71_applet>.debug $<TARGET_FILE:px71ctl>.debug
                  $<TARGET_FILE:px71log>.debug DESTINATION symbols/x64)
    # The installer and the SDK carry the x86 library too: the x64 build makes it in a
    # build of its own (x86/), with the same sources and the x86 toolchain.
    include(ExternalProject)
    set(PX71_X86_TOOLCHAIN ${PROJECT_SOURCE_DIR}/cmake/mingw-w64-i686.cmake CACHE FILEPATH
        "Toolchain of the x86 part of the x64 build")
    # With its tests, the x86 part is the whole x86 build (the win32 preset's), and
    # `ctest --test-dir x86` runs them: one build of the x86 library serves both.
    option(PX71_X86_TESTS "Build the x86 part's tests too (run by ctest in x86/)" OFF)
    set(PX71_X86_DIR ${CMAKE_BINARY_DIR}/x86)
    ExternalProject_Add(px71_x86
        SOURCE_DIR ${PROJECT_SOURCE_DIR}
        BINARY_DIR ${PX71_X86_DIR}
        CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PX71_X86_TOOLCHAIN} -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
                   -DBUILD_TESTING=${PX71_X86_TESTS} -DPX71_X86_PART=ON -DPX71_SIGN_PFX=${PX71_SIGN_PFX}
        INSTALL_COMMAND ""
        BUILD_ALWAYS ON
        BUILD_BYPRODUCTS ${PX71_X86_DIR}/bin/PX71.dll ${PX71_X86_DIR}/bin/PX71.dll.debug ${PX71_X86_DIR}/lib/PX71.lib
                         ${PX71_X86_DIR}/lib/px71.pc ${PX71_X86_DIR}/lib/libPX71.dll.a
                         ${PX71_X86_DIR}/bin/pipe_client.exe)
    install(FILES ${PX71_X86_DIR}/bin/PX71.dll DESTINATION bin/x86)
    install(FILES ${PX71_X86_DIR}/bin/PX71.dll.debug DESTINATION symbols/x86)
    install(FILES ${PX71_X86_DIR}/lib/PX71.lib ${PX71_X86_DIR}/lib/libPX71.dll.a DESTINATION lib/x86)
    install(FILES ${PX71_X86_DIR}/lib/px71.pc DESTINATION lib/x86/pkgconfig)
    # find_package(PX71): one package for both architectures.
    include(CMakePackageConfigHelpers)
    write_basic_package_version_file(${CMAKE_BINARY_DIR}/PX71ConfigVersion.cmake COMPATIBILITY SameMajorVersion
                                     ARCH_INDEPENDENT)
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/package/PX71Config.cmake ${CMAKE_BINARY_DIR}/PX71ConfigVersion.cmake
            DESTINATION lib/cmake/PX71)
    # The SDK as one archive with its checksum: cmake --build build/win64 --target package.
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_NAME PX71-SDK)
    set(CPACK_PACKAGE_FILE_NAME PX71-SDK-${PROJECT_VERSION})
    set(CPACK_PACKAGE_CHECKSUM SHA256)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
    include(CPack)
endif()

# The whole SDK from the x64 build: every file in its place, and nothing else.
if(PX71_ARCH STREQUAL x64 AND NOT PX71_X86_PART AND BUILD_TESTING)
    set(sdk_files bin/x64/PX71.dll bin/x64/PX71Service.exe bin/x64/PX71ResourceSetting.cpl bin/x64/px71ctl.exe
        bin/x64/px71log.exe bin/x86/PX71.dll lib/x64/PX71.lib lib/x86/PX71.lib lib/x64/libPX71.dll.a
        lib/x86/libPX71.dll.a symbols/x64/PX71.dll.debug symbols/x64/PX71Service.exe.debug
        symbols/x64/PX71ResourceSetting.cpl.debug symbols/x64/px71ctl.exe.debug symbols/x64/px71log.exe.debug
        symbols/x86/PX71.dll.debug lib/x64/pkgconfig/px71.pc lib/x86/pkgconfig/px71.pc lib/cmake/PX71/PX71Config.cmake
        lib/cmake/PX71/PX71ConfigVersion.cmake include/px71.h include/pipe_request.h
        docs/pipe-protocol.md docs/log-format.md docs/security.md examples/call_library.c examples/pipe_client.c)
    add_test(NAME sdk_layout
             COMMAND ${CMAKE_COMMAND} -D BUILD=${CMAKE_BINARY_DIR} -D PREFIX=${CMAKE_BINARY_DIR}/sdk
                     "-D" "EXPECTED=${sdk_files}" -D NM=${CMAKE_NM} -D OBJDUMP=${CMAKE_OBJDUMP}
                     -P ${PROJECT_SOURCE_DIR}/tests/wine/check_sdk.cmake)
    # The archive, its checksum, find_package(PX71) and pkg-config, from outside the tree.
    add_test(NAME sdk_consumer
             COMMAND ${PROJECT_SOURCE_DIR}/tests/wine/consumer_check.sh ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR}
                     ${CMAKE_OBJDUMP})
    set_tests_properties(sdk_consumer PROPERTIES PASS_REGULAR_EXPRESSION "consumer_check: passed" TIMEOUT 300)
endif()
