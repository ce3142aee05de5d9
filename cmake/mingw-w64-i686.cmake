# Cross build for 32-bit Windows with Debian's mingw-w64 (posix thread model, which
# std::thread needs). The programs run under the 32-bit wine; see scripts/run-windows-tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KORV_MINGW_TRIPLE i686-w64-mingw32)

set(CMAKE_C_COMPILER ${KORV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KORV_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KORV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs that need no DLLs beside them: the C++ runtime and winpthreads are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Doubles must round as 64-bit IEEE values (the frequency scaling, the field conversions):
# use SSE2 arithmetic rather than the x87 unit's extended precision. 32-bit code carries no
# unwind tables that the stack walker reads: it follows frame pointers, so every routine
# keeps one, and the traceback has a row for every frame, as on 64-bit Windows.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -fno-omit-frame-pointer")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -fno-omit-frame-pointer")
