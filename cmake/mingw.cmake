# Cross-build for Windows with Debian's MinGW-w64 compiler for the target
# that P5_MINGW_TARGET names (set by the toolchain file that includes this).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_CXX_COMPILER ${P5_MINGW_TARGET}-g++)
set(CMAKE_RC_COMPILER ${P5_MINGW_TARGET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${P5_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The program links kernel32 itself and nothing else.
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
