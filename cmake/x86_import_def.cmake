# Writes the .def from which dlltool makes the x86 import library: each export under
# the __stdcall name an x86 caller of px71.h references (XU_ReadPCI@12), read from the
# library's own objects, so the @N sizes are the ones the code was compiled with.
# usage: cmake -D NM=... -D "OBJECTS=a.obj,b.obj" -D "EXPORTS=name,..." -D DEF=out.def -P x86_import_def.cmake
string(REPLACE "," ";" OBJECTS "${OBJECTS}")
string(REPLACE "," ";" EXPORTS "${EXPORTS}")
list(FILTER OBJECTS INCLUDE REGEX "\\.obj$")
execute_process(COMMAND ${NM} --defined-only ${OBJECTS} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on the library's objects")
endif()
set(def "LIBRARY PX71.dll\nEXPORTS\n")
foreach(name IN LISTS EXPORTS)
    string(REGEX MATCHALL " T _${name}@[0-9]+\n" found "${symbols}")
    list(LENGTH found count)
    if(NOT count EQUAL 1)
        message(FATAL_ERROR "${name}: ${count} __stdcall definitions among the library's objects, expected 1")
    endif()
    string(REGEX REPLACE " T _([^\n]+)\n" "\\1" decorated "${found}")
    string(APPEND def "    ${decorated}\n")
endforeach()
file(WRITE ${DEF} "${def}")
