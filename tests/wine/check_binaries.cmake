# Reads PE files' import and export tables with objdump -p and checks that each imports
# system DLLs only and, with EXPECTED_EXPORTS, that the one DLL exports the expected
# names, undecorated.
include(${CMAKE_CURRENT_LIST_DIR}/pe_imports.cmake)
foreach(file IN LISTS DLL)
    px71_pe_dump(${OBJDUMP} ${file} dump)
    px71_check_system_imports("${dump}" ${file} "" unused)
endforeach()

if(EXPECTED_EXPORTS)
    set(expected ${EXPECTED_EXPORTS})
    string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(.*)" table "${dump}")
    foreach(name IN LISTS expected)
        if(NOT table MATCHES "\\] ${name}\n")
            message(FATAL_ERROR "${DLL} does not export ${name} by its plain name")
        endif()
        message(STATUS "exports ${name}")
    endforeach()
    if(table MATCHES "@[0-9]+\n" OR table MATCHES "\\] _[A-Za-z]")
        message(FATAL_ERROR "${DLL} exports decorated names")
    endif()
endif()
