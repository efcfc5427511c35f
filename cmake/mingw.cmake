# Cross-compiling for Windows with Debian's MinGW-w64.  The including file
# sets LUMETTA_TRIPLE (i686-w64-mingw32 or x86_64-w64-mingw32).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${LUMETTA_PROCESSOR})

# The "posix" thread model, whose runtime has std::mutex (GoogleTest needs
# it); every program links it statically, so no winpthread DLL goes along.
set(CMAKE_C_COMPILER /usr/bin/${LUMETTA_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/${LUMETTA_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER /usr/bin/${LUMETTA_TRIPLE}-windres)
set(CMAKE_AR /usr/bin/${LUMETTA_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/${LUMETTA_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_ASM_NASM_COMPILER /usr/bin/nasm)

# Headers and libraries of the target only: Debian's own copies of the image
# libraries in /usr are for Linux.
set(CMAKE_FIND_ROOT_PATH /usr/${LUMETTA_TRIPLE} ${LUMETTA_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
