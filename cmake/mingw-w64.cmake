# Cross-build for 64-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-x86-64).
# Tests run under Wine through the emulator setting.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triple x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${triple}-gcc-posix ${triple}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${triple}-g++-posix ${triple}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Debian keeps the 64-bit loader under /usr/lib/wine; "wine" may be a wrapper that wants the 32-bit one.
find_program(VP_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(VP_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VP_WINE})
endif()
