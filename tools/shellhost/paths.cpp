#include "paths.h"

#include <algorithm>

std::string WindowsPath(const std::string& path)
{
    std::string p = path;
    if (!p.empty() && p[0] == '/')
        p = "Z:" + p;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}
