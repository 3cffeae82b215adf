# Cross-build for 64-bit Windows with Debian's MinGW-w64 compiler.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(P5_MINGW_TARGET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
