// Names travel in UTF-16 to the system and in UTF-8 to people and scripts.
#ifndef LUMETTA_NAMES_H
#define LUMETTA_NAMES_H

#include <windows.h>

#include <string>
#include <vector>

// Ended by a NUL; a vector, because under Winelib the host's std::wstring is
// not made of WCHARs.
std::vector<WCHAR> Utf16(const std::string& utf8);
std::string Utf8(const WCHAR* wide);

// A program's arguments in UTF-8, as main's argv would be on a system that
// spoke it.
struct Utf8Arguments {
    std::vector<std::string> texts;
    std::vector<char*> argv;
    Utf8Arguments(int argc, WCHAR** wideArgv);
};

#endif
