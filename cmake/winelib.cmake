# 64-bit Winelib modules (ELF shared objects that Wine loads), used only for
# the AddressSanitizer run: MinGW has no sanitizer.  The image libraries are
# Debian's own.
set(LUMETTA_WINELIB ON)
set(CMAKE_C_COMPILER /usr/lib/wine/winegcc)
set(CMAKE_CXX_COMPILER /usr/lib/wine/wineg++)
set(LUMETTA_WINE /usr/lib/wine/wine64)
