// WININIT.INI, through which Windows 95 renames and deletes files at its
// next start: the installer replaces a library in use, the uninstaller
// deletes one.  Only its "Rename" section is ours to add to.
#ifndef LUMETTA_WININIT_H
#define LUMETTA_WININIT_H

#include <windows.h>

// The file's path in the Windows folder (MAX_PATH bytes); false when it
// does not fit.
bool FindWininit(char* ini);

// True when the "Rename" section already holds a NUL entry, or when the
// file cannot be read to tell.  The profile functions keep one value per
// name, so a further NUL entry must go in as a raw line.
bool RenameSectionHasNul(const char* ini);

// Appends `lines` (each ended by CR LF) to the end of the file, in place:
// what is there stays byte for byte, whatever can or cannot be read of it.
// A "[Rename]" header goes first unless that section is known to be the
// last.  False when the file cannot be opened or written.
bool AppendRenameLines(const char* ini, const char* lines);

#endif
