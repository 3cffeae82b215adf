# Cross-build for 32-bit Windows with Debian's MinGW-w64 compiler.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(P5_MINGW_TARGET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
