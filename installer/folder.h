// The install folder's rules, apart from the window so that tests can reach
// them.
#ifndef LUMETTA_FOLDER_H
#define LUMETTA_FOLDER_H

#include <windows.h>
#include <stddef.h>

#include "install.h"

#define FolderSubpath "\\Norvane Information\\Lumetta"

// The longest install folder whose files still have whole paths: the
// uninstaller below "System" is the longest of them.  A longer one would
// fail half way through the copying, after its folders were made.
const size_t FolderLengthMax =
    MAX_PATH - 1 - (sizeof(InstallSystemFolder "\\" InstallUninstallerName) - 1);

// The default: the system's program folder followed by the subpath, or
// "C:\Program Files" and the subpath when that would be too long.
void DefaultInstallFolder(char* out, size_t size);

// The install folder for a folder the user chose: trailing backslashes
// removed, then "\Norvane Information\Lumetta" appended, or only "\Lumetta"
// after "Norvane Information", unless the path already ends with "Lumetta".
// False when the result is longer than FolderLengthMax.
bool InstallFolderFor(const char* chosen, char* out, size_t size);

// Only fixed and network drives can hold the product.
bool IsInstallableDrive(const char* path);

// The bytes free to the caller on the folder's drive, also when the folder
// does not exist yet; at most the largest 32-bit value.
DWORD FreeSpaceOf(const char* folder);

#endif
