# 64-bit Windows (PE32+): the module that 64-bit Explorer loads.
set(LUMETTA_TRIPLE x86_64-w64-mingw32)
set(LUMETTA_PROCESSOR AMD64)
set(LUMETTA_WINE /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
