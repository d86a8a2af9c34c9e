# Reads a PE file's import table with objdump -p and checks that it imports from DLL
# exactly the functions EXPECTED_IMPORTS names, each by its name, and that every other
# DLL it imports from is a system DLL.
include(${CMAKE_CURRENT_LIST_DIR}/pe_imports.cmake)
px71_pe_dump(${OBJDUMP} ${EXE} dump)
px71_check_system_imports("${dump}" ${EXE} ${DLL} found)
if(NOT found)
    message(FATAL_ERROR "${EXE} does not import from ${DLL}")
endif()

# The block of that DLL: "vma: Hint/Ord Member-Name" rows up to the blank line.
string(REGEX MATCH "DLL Name: ${DLL}\n[^\n]*\n(([^\n]+\n)*)" block "${dump}")
set(rows "${CMAKE_MATCH_1}")
string(REGEX MATCHALL "[^\n]+" rows "${rows}")
set(names)
foreach(row IN LISTS rows)
    # "<vma> <hint> <name>"; a row without a name is an import by ordinal.
    if(row MATCHES "^[ \t]*[0-9a-fA-F]+[ \t]+[0-9]+[ \t]+([A-Za-z_][A-Za-z0-9_]*)[ \t]*$")
        list(APPEND names "${CMAKE_MATCH_1}")
    else()
        message(FATAL_ERROR "${EXE} imports from ${DLL} other than by name: '${row}'")
    endif()
endforeach()
set(expected ${EXPECTED_IMPORTS})
list(SORT names)
list(SORT expected)
if(NOT names STREQUAL expected)
    message(FATAL_ERROR "${EXE} imports from ${DLL}:\n  ${names}\nexpected:\n  ${expected}")
endif()
list(LENGTH names count)
message(STATUS "${EXE} imports ${count} functions from ${DLL} by name: ${names}")
