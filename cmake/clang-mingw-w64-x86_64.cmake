# Cross build for Windows (x86_64) with clang and mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PX71_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw-w64.cmake)
