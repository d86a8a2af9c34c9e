# Cross build for Windows (i686) with clang and mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PX71_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw-w64.cmake)
