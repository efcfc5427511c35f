# 32-bit Windows (PE32): the build that ships.  SSE2 is assumed, as on every
# x86 processor since 2003; the resampler's integer runs use it.
set(LUMETTA_TRIPLE i686-w64-mingw32)
set(LUMETTA_PROCESSOR i686)
set(LUMETTA_WINE /usr/lib/wine/wine)
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
