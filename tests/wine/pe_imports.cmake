# Shared by the binary checks: a PE file's objdump -p output, and the rule that it
# imports from system DLLs only (and from ALLOWED, where a check names one).

# px71_pe_dump(OBJDUMP FILE OUT): OUT receives `objdump -p FILE`.
function(px71_pe_dump objdump file out)
    execute_process(COMMAND ${objdump} -p ${file} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "objdump failed on ${file}")
    endif()
    set(${out} "${dump}" PARENT_SCOPE)
endfunction()

# px71_check_system_imports(DUMP FILE ALLOWED FOUND): fails when FILE imports from a DLL
# that is neither a system DLL nor ALLOWED (may be empty); FOUND tells whether ALLOWED
# was among the imports.
function(px71_check_system_imports dump file allowed found)
    set(system_dlls KERNEL32.dll ADVAPI32.dll SETUPAPI.dll CFGMGR32.dll USER32.dll SHELL32.dll ole32.dll msvcrt.dll
                    GDI32.dll COMCTL32.dll)
    string(TOUPPER "${allowed}" wanted)
    set(seen FALSE)
    string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
    foreach(line IN LISTS imports)
        string(REPLACE "DLL Name: " "" name "${line}")
        string(STRIP "${name}" name)
        string(TOUPPER "${name}" upper)
        if(wanted AND upper STREQUAL wanted)
            set(seen TRUE)
            continue()
        endif()
        set(known FALSE)
        foreach(system IN LISTS system_dlls)
            string(TOUPPER "${system}" system_upper)
            if(upper STREQUAL system_upper OR upper MATCHES "^API-MS-WIN-")
                set(known TRUE)
            endif()
        endforeach()
        if(NOT known)
            message(FATAL_ERROR "${file} imports from ${name}, which is not a system DLL")
        endif()
        message(STATUS "imports ${name}")
    endforeach()
    set(${found} ${seen} PARENT_SCOPE)
endfunction()
