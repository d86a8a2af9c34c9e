# Cross build for Windows with clang instead of GCC: the same mingw-w64 headers and
# import libraries, GCC's C++ library and runtime linked statically as in the GCC
# builds, binutils' linker, dlltool and windres. Included by the two files that name
# the target (PX71_MINGW_TRIPLE).
set(CMAKE_SYSTEM_NAME Windows)
set(triple ${PX71_MINGW_TRIPLE})
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_RC_COMPILER ${triple}-windres)
foreach(tool AR RANLIB NM OBJDUMP OBJCOPY DLLTOOL)
    string(TOLOWER ${tool} name)
    set(CMAKE_${tool} /usr/bin/${triple}-${name} CACHE FILEPATH "")
endforeach()
set(CMAKE_SYSROOT /usr/${triple})
# Debian names GCC's folder "12-win32" (the thread model of the GCC builds), which
# clang 14 does not take for a GCC version: it would look for the C++ headers in
# /usr/include/c++ and find none. Name the headers and the runtime's folder here.
file(GLOB gcc_dirs /usr/lib/gcc/${triple}/*-win32)
list(SORT gcc_dirs COMPARE NATURAL ORDER DESCENDING)
list(GET gcc_dirs 0 gcc)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${gcc}/include/c++ ${gcc}/include/c++/${triple} ${gcc}/include/c++/backward)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${gcc}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-L${gcc}")
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
