# Installs a build into a fresh folder and checks that exactly the expected files land
# there, that no import library names the folder it was built in (the same sources give
# the same bytes anywhere), and with NM, that the x86 PX71.lib carries the __stdcall
# names callers reference.
# usage: cmake -D BUILD=dir -D PREFIX=dir "-D" "EXPECTED=f1;f2" [-D NM=nm] -P check_sdk.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX} RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cmake --install ${BUILD} failed")
endif()
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${PREFIX} ${PREFIX}/*)
list(SORT installed)
set(expected ${EXPECTED})
list(SORT expected)
if(NOT installed STREQUAL expected)
    message(FATAL_ERROR "installed:\n  ${installed}\nexpected:\n  ${expected}")
endif()
message(STATUS "${PREFIX}: ${installed}")
if(NM)
    execute_process(COMMAND ${NM} ${PREFIX}/lib/x86/PX71.lib OUTPUT_VARIABLE symbols)
    if(NOT symbols MATCHES " T _XU_ReadPCI@12\n")
        message(FATAL_ERROR "lib/x86/PX71.lib has no __stdcall name _XU_ReadPCI@12")
    endif()
endif()
file(GLOB libraries ${PREFIX}/lib/*/*.lib ${PREFIX}/lib/*/*.a)
# As it is, or as dlltool makes member names of it (every other character an underscore).
string(REGEX REPLACE "[^A-Za-z0-9]" "_" mangled "${BUILD}")
foreach(library IN LISTS libraries)
    file(STRINGS ${library} paths REGEX "${BUILD}|${mangled}")
    if(paths)
        message(FATAL_ERROR "${library} names the build folder: ${paths}")
    endif()
endforeach()
