// The shell host's commands take Unix paths as well as Windows ones.
#ifndef SHELLHOST_PATHS_H
#define SHELLHOST_PATHS_H

#include <string>

// A path as Windows names it: "/x/y" becomes "Z:\x\y".
std::string WindowsPath(const std::string& path);

#endif
