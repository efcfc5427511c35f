// shellhost properties: the real Properties dialog of files, opened through
// the shell's own context menu.
#ifndef SHELLHOST_PROPERTIES_H
#define SHELLHOST_PROPERTIES_H

#include <string>
#include <vector>

int PropertiesCommand(const std::vector<std::string>& files, const std::string& outDir);

#endif
