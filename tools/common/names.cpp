#include "names.h"

#include <string.h>

std::vector<WCHAR> Utf16(const std::string& utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, NULL, 0);
    std::vector<WCHAR> wide(n > 0 ? n : 1, 0);
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), n);
    return wide;
}

std::string Utf8(const WCHAR* wide)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, NULL, 0, NULL, NULL);
    std::string text(n > 0 ? n : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], n, NULL, NULL);
    text.resize(strlen(text.c_str()));
    return text;
}

Utf8Arguments::Utf8Arguments(int argc, WCHAR** wideArgv)
{
    for (int i = 0; i < argc; i++)
        texts.push_back(Utf8(wideArgv[i]));
    for (std::string& text : texts)
        argv.push_back(&text[0]);
    argv.push_back(NULL);
}
