// Lumetta.dll under the sanitizer (the Winelib build, LUMETTA_ASAN set):
// once its code has run worker threads, unloading it ends the process with a
// stack smashing report at the next return, so there the tests and the shell
// host keep it loaded to the end of the process.
#ifndef LUMETTA_PINNING_H
#define LUMETTA_PINNING_H

#include <stdlib.h>
#include <windows.h>

// True when the module was pinned; outside the sanitizer nothing is done.
inline bool PinUnderSanitizer(HMODULE module)
{
    HMODULE pinned;
    return module && getenv("LUMETTA_ASAN") &&
           GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              (LPCSTR)GetProcAddress(module, "DllCanUnloadNow"), &pinned);
}

#endif
