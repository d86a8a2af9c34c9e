# find_package(PX71) from the PX71 SDK: the imported target PX71::PX71, PX71.dll of the
# consumer's architecture (x64 or x86) with its import library and the public headers
# (px71.h, pipe_request.h). Visual C++ and clang-cl link PX71.lib; GNU toolchains
# libPX71.dll.a. Ship bin/<arch>/PX71.dll beside your program.
get_filename_component(_px71_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_px71_arch x64)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(_px71_arch x86)
else()
    set(PX71_FOUND FALSE)
    set(PX71_NOT_FOUND_MESSAGE "PX71 needs a C or C++ compiler for 32-bit or 64-bit Windows to be enabled first")
    return()
endif()
if(MSVC OR CMAKE_C_SIMULATE_ID STREQUAL "MSVC" OR CMAKE_CXX_SIMULATE_ID STREQUAL "MSVC")
    set(_px71_implib "${_px71_root}/lib/${_px71_arch}/PX71.lib")
else()
    set(_px71_implib "${_px71_root}/lib/${_px71_arch}/libPX71.dll.a")
endif()
if(NOT TARGET PX71::PX71)
    add_library(PX71::PX71 SHARED IMPORTED)
    set_target_properties(PX71::PX71 PROPERTIES
        IMPORTED_LOCATION "${_px71_root}/bin/${_px71_arch}/PX71.dll"
        IMPORTED_IMPLIB "${_px71_implib}"
        INTERFACE_INCLUDE_DIRECTORIES "${_px71_root}/include")
endif()
set(PX71_DLL "${_px71_root}/bin/${_px71_arch}/PX71.dll")
unset(_px71_root)
unset(_px71_arch)
unset(_px71_implib)
